"""tallowind_ara2 end to end, on the emulated ARA-2 stack.

Starts the emulator's proxy daemon, finds it with discover(), connects,
shows the versions and the endpoints, loads the example colour classifier
(examples/colour_classifier.yaml), classifies a few synthetic images with
run() and with submit()/wait(), and stops the daemon again.

Run it with:  bash scripts/demo.sh
"""
from __future__ import annotations

import pathlib
import sys
import tempfile

import numpy as np
import yaml

import tallowind_ara2 as ara2
from ara2_emulator.daemon import Daemon
from ara2_emulator.model_builder import build_model

EXAMPLES = pathlib.Path(__file__).resolve().parent

# (name, RGB colour, the label a working classifier gives it)
IMAGES = [
    ("crimson", (200, 20, 40), "red"),
    ("lime", (40, 210, 30), "green"),
    ("navy", (20, 40, 170), "blue"),
    ("orange", (235, 120, 20), "red"),
    ("sky", (70, 150, 235), "blue"),
    ("grass", (60, 170, 50), "green"),
]


def synthetic_image(rgb: tuple[int, int, int], seed: int, shape: tuple[int, int, int]) -> np.ndarray:
    """A noisy solid-colour image in the model's (channels, height, width) uint8 layout."""
    rng = np.random.default_rng(seed)
    channels, height, width = shape
    base = np.array(rgb, dtype=np.int16).reshape(channels, 1, 1)
    noise = rng.integers(-25, 26, size=(channels, height, width), dtype=np.int16)
    return np.clip(base + noise, 0, 255).astype(np.uint8)


def connect(daemon: Daemon) -> ara2.Session:
    """A session to the daemon, found the way an application finds a proxy."""
    for proxy in ara2.discover():
        if proxy.pid == daemon.pid:
            print(f"discover() found {proxy!r}")
            return proxy.connect()
    print(f"discover() did not list pid {daemon.pid}; connecting to {daemon.socket_path}")
    return ara2.Session.create_via_unix_socket(str(daemon.socket_path))


def show_session(session: ara2.Session) -> list[ara2.Endpoint]:
    print(f"client library: DVAPI {session.dvapi_version} ({session.abi!r}), socket {session.socket_type!r}")
    for component, version in session.versions().items():
        print(f"  {component:<12} {version}")
    endpoints = session.list_endpoints()
    for index, endpoint in enumerate(endpoints):
        dram = endpoint.dram_statistics()
        print(f"endpoint {index}: {endpoint.check_status()!r}, DRAM {dram.free_size >> 20} MiB free "
              f"of {dram.dram_size >> 20} MiB (models {dram.model_occupancy_size} B, "
              f"tensors {dram.tensor_occupancy_size} B)")
    return endpoints


def show_model(model: ara2.Model, path: pathlib.Path) -> list[str]:
    metadata = ara2.read_metadata(path)
    labels = ara2.read_labels(path)
    print(f"loaded {path.name}: {model!r}")
    if metadata.deployment is not None:
        print(f"  name: {metadata.deployment.name}, task: {metadata.task}, classes: {metadata.classes}")
    print(f"  labels: {labels}")
    for i in range(model.n_inputs):
        q = model.input_quants(i)
        print(f"  input {i}: shape {model.input_shape(i)}, qn {q.qn:.6f}, offset {q.offset}, qmode {q.qmode}")
    for i in range(model.n_outputs):
        info = model.output_info(i)
        print(f"  output {i}: {info.layer_name} {model.output_shape(i)}, bpp {info.bpp}, "
              f"type {info.layer_output_type!r}, qn {info.quant.qn}")
    return labels


def prediction(model: ara2.Model, labels: list[str]) -> tuple[str, float]:
    """The winning label (the model's own argmax output) and its dequantised score."""
    scores = model.dequantize(0).ravel()
    class_id = int(model.get_output_tensor(1).ravel()[0])
    return labels[class_id], float(scores[class_id])


def report(how: str, name: str, expected: str, label: str, score: float, timing: ara2.ModelTiming) -> bool:
    mark = "ok" if label == expected else f"WRONG, expected {expected}"
    print(f"  {how:<8} {name:<8} -> {label:<6} score {score:+.3f}  "
          f"(run {timing.run_time_us} us, in {timing.input_time_us} us, out {timing.output_time_us} us) {mark}")
    return label == expected


def classify(model: ara2.Model, labels: list[str]) -> int:
    shape = model.input_shape(0)
    images = [(name, synthetic_image(rgb, seed, shape), expected)
              for seed, (name, rgb, expected) in enumerate(IMAGES)]
    correct = 0
    synchronous, asynchronous = images[:3], images[3:]

    print("classifying with run():")
    for name, image, expected in synchronous:
        model.set_input_tensor(0, image)
        timing = model.run()
        correct += report("run()", name, expected, *prediction(model, labels), timing)

    print("classifying with submit() / wait():")
    for name, image, expected in asynchronous:
        model.set_input_tensor(0, image)
        request = model.submit()
        print(f"  submitted {name} as request {request.request_id}: {request!r}")
        timing = request.wait()
        correct += report("wait()", name, expected, *prediction(model, labels), timing)
    return correct


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="ara2-demo-") as workdir:
        workdir = pathlib.Path(workdir)
        model_path = workdir / "colour_classifier.dvm"
        build_model(yaml.safe_load((EXAMPLES / "colour_classifier.yaml").read_text()), model_path)
        config = {
            "proxy": {"interface_type": "SOCKET", "interface_socket_file": [str(workdir / "proxy.sock")]},
            "emulator": {"endpoints": 2},
        }
        print(f"tallowind_ara2 {ara2.__version__}")
        with Daemon(config, workdir=workdir) as daemon:
            pid = daemon.pid
            print(f"emulator daemon started, pid {pid}, socket {daemon.socket_path}")
            with connect(daemon) as session:
                endpoints = show_session(session)
                with endpoints[0].load_model(model_path) as model:
                    labels = show_model(model, model_path)
                    model.allocate_tensors()
                    print(f"tensors: input {model.input_tensor_memory(0)}, "
                          f"outputs {[model.output_tensor_memory(i) for i in range(model.n_outputs)]}")
                    correct = classify(model, labels)
                    dram = endpoints[0].dram_statistics()
                    print(f"endpoint 0 with the model loaded: {dram.free_size >> 20} MiB free")
                del endpoints
        print(f"emulator daemon stopped (pid {pid})")
    print(f"{correct} of {len(IMAGES)} images classified as expected")
    return 0 if correct == len(IMAGES) else 1


if __name__ == "__main__":
    sys.exit(main())
