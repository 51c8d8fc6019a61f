"""Pipeline throughput and its host cost per frame, side by side in one run.

1. Throughput, on an emulator whose every inference takes a fixed 2 ms
   (`faults.latency_us`), of a Pipeline over 1, 2 and 4 endpoints (two
   requests in flight per endpoint, frames handed in a loop, results through
   a callback), against a run() loop on one endpoint and against the ideal,
   endpoints / latency. Target: at least 0.9x the ideal on 1, 2 and 4 endpoints.
2. Host cost per frame at zero latency: put() and get() of a one-slot
   pipeline (one frame in flight, so the same library calls as the baseline)
   against a bare submit() and wait() pair on a model, on a 16-byte model so
   that the input copy is nothing. CPU time of this process per frame (the
   host's cost; the target) and wall time (which adds the emulator's own
   time, the same for both, and its noise), interleaved rounds, best kept.
   Target: the CPU time within 2 us of the pair's. When valgrind is
   installed, the instructions of put() and get() against those of submit()
   and wait(), by object (callgrind, exact).
"""
from __future__ import annotations

import sys
import time

import numpy as np

import benchlib
import instructions
import tallowind_ara2 as ara2

LATENCY_US = 2000
ENDPOINTS = (1, 2, 4)
REQUESTS = 2
THROUGHPUT_ROUNDS = 3
FRAMES_PER_ENDPOINT = 300  # 0.6 s of device time per round
OVERHEAD_ROUNDS = 25
OVERHEAD_FRAMES = 2000
COUNTED_CALLS = 200

CLASSIFIER = {  # a 3 x 32 x 32 image in, its mean colour out
    "inputs": [{"name": "image", "shape": [3, 32, 32]}],
    "outputs": [{"name": "colour", "shape": [3, 1, 1]}],
    "program": {"ops": [{"op": "mean_pool", "src": "input:0", "dst": "output:0"}]},
}
TINY = {  # 16 bytes in, the same 16 bytes out
    "inputs": [{"name": "data", "shape": [1, 1, 16]}],
    "outputs": [{"name": "data", "shape": [1, 1, 16]}],
    "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
}


# ---------------------------------------------------------------- throughput


def pipeline_rate(endpoints, model_path, frames) -> float:
    """Frames per second through a pipeline, from the first put to the last result."""
    received = []
    with ara2.Pipeline.open(endpoints, model_path, requests=REQUESTS, callback=received.append) as pipeline:
        for frame in frames[:pipeline.capacity]:  # warm-up: every slot used once
            pipeline.put(frame)
        pipeline.wait_all()
        received.clear()
        start = time.perf_counter()
        for frame in frames:
            pipeline.put(frame)
        pipeline.wait_all()
        elapsed = time.perf_counter() - start
    assert len(received) == len(frames) and all(result.error is None for result in received)
    return len(frames) / elapsed


def run_rate(endpoint, model_path, frames) -> float:
    """Frames per second of set_input_tensor() and run() in a loop on one endpoint."""
    with endpoint.load_model(model_path) as model:
        model.allocate_tensors()
        model.run()
        start = time.perf_counter()
        for frame in frames:
            model.set_input_tensor(0, frame)
            model.run()
        return len(frames) / (time.perf_counter() - start)


def throughput_rows() -> list[list[str]]:
    rows = []
    with benchlib.emulator(endpoints=max(ENDPOINTS), faults={"latency_us": LATENCY_US}) as (daemon, workdir):
        model_path = benchlib.model_file(CLASSIFIER, workdir, "classifier")
        rng = np.random.default_rng(0)
        with ara2.Session.create_via_unix_socket(str(daemon.socket_path)) as session:
            endpoints = session.list_endpoints()
            best = {count: 0.0 for count in ENDPOINTS}
            best_run = 0.0
            for _ in range(THROUGHPUT_ROUNDS):
                for count in ENDPOINTS:
                    frames = list(rng.integers(0, 256, (FRAMES_PER_ENDPOINT * count, 3, 32, 32), dtype=np.uint8))
                    best[count] = max(best[count], pipeline_rate(endpoints[:count], model_path, frames))
                frames = list(rng.integers(0, 256, (FRAMES_PER_ENDPOINT, 3, 32, 32), dtype=np.uint8))
                best_run = max(best_run, run_rate(endpoints[0], model_path, frames))
    for count in ENDPOINTS:
        ideal = count / (LATENCY_US / 1e6)
        ratio = best[count] / ideal
        rows.append([str(count), f"{best[count]:,.0f}", f"{best_run:,.0f}", f"{best[count] / best_run:.2f}x",
                     f"{ideal:,.0f}", f"{ratio:.3f}x", "yes" if ratio >= 0.9 else "NO"])
    return rows


# ---------------------------------------------------------------- host cost per frame


def per_frame(loop, frames: int) -> tuple[float, float]:
    """(wall seconds, CPU seconds of this process) per frame of `loop(frames)`."""
    wall, cpu = time.perf_counter(), time.process_time()
    loop(frames)
    return (time.perf_counter() - wall) / frames, (time.process_time() - cpu) / frames


def bare_pair(endpoint, model_path, memory):
    def measure() -> tuple[float, float]:
        with endpoint.load_model(model_path) as model:
            model.allocate_tensors(memory)
            submit = model.submit

            def loop(count: int) -> None:
                for _ in range(count):
                    submit().wait()
            loop(100)
            return per_frame(loop, OVERHEAD_FRAMES)
    return measure


def pipeline_pair(endpoint, model_path, memory):
    frame = np.zeros(16, np.uint8)

    def measure() -> tuple[float, float]:
        with ara2.Pipeline.open(endpoint, model_path, requests=1, memory=memory) as pipeline:
            put, get = pipeline.put, pipeline.get

            def loop(count: int) -> None:
                for _ in range(count):
                    put(frame)
                    get()
            loop(100)
            return per_frame(loop, OVERHEAD_FRAMES)
    return measure


def overhead_rows() -> tuple[list[list[str]], list[list[str]]]:
    rows, counts = [], []
    with benchlib.emulator(endpoints=1) as (daemon, workdir):
        model_path = benchlib.model_file(TINY, workdir, "tiny")
        with ara2.Session.create_via_unix_socket(str(daemon.socket_path)) as session:
            endpoint = session.list_endpoints()[0]
            for memory in ("mem", "shm"):
                sides = {"pair": bare_pair(endpoint, model_path, memory),
                         "pipeline": pipeline_pair(endpoint, model_path, memory)}
                best = {name: (float("inf"), float("inf")) for name in sides}
                for _ in range(OVERHEAD_ROUNDS):
                    for name, measure in sides.items():
                        wall, cpu = measure()
                        best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
                (pair_wall, pair_cpu), (pipe_wall, pipe_cpu) = best["pair"], best["pipeline"]
                extra_wall, extra_cpu = (pipe_wall - pair_wall) * 1e6, (pipe_cpu - pair_cpu) * 1e6
                rows.append([memory, f"{pair_cpu * 1e6:.1f}", f"{pipe_cpu * 1e6:.1f}", f"{extra_cpu:+.2f}",
                             "yes" if extra_cpu <= 2.0 else "NO", f"{pair_wall * 1e6:.1f}", f"{pipe_wall * 1e6:.1f}",
                             f"{extra_wall:+.2f}"])
        if instructions.available():
            counts = instruction_rows(daemon.socket_path, model_path)
    return rows, counts


def instruction_rows(socket, model_path) -> list[list[str]]:
    setup = (f"import numpy as np\n"
             f"import tallowind_ara2 as ara2\n"
             f"session = ara2.Session.create_via_unix_socket({str(socket)!r})\n"
             f"endpoint = session.list_endpoints()[0]\n"
             f"model = endpoint.load_model({str(model_path)!r})\n"
             f"model.allocate_tensors('shm')\n"
             f"pipeline = ara2.Pipeline.open(endpoint, {str(model_path)!r}, requests=1, memory='shm')\n"
             f"frame = np.zeros(16, np.uint8)\n"
             f"model.submit().wait(); pipeline.put(frame); pipeline.get()")
    sides = {
        "submit() + wait()": [("model.submit().wait()", "model_submit"),
                              ("model.submit().wait()", "infer_request_wait")],
        "put() + get()": [("pipeline.put(frame); pipeline.get()", "pipeline_put"),
                          ("pipeline.put(frame); pipeline.get()", "pipeline_get")],
    }
    rows = []
    for name, methods in sides.items():
        total = {"module": 0.0, "client library": 0.0, "other": 0.0}
        for call, method in methods:
            for key, value in instructions.per_call(setup, call, method, COUNTED_CALLS).items():
                total[key] += value
        rows.append([name, *(f"{total[key]:.0f}" for key in ("module", "client library", "other"))])
    return rows


def main() -> int:
    throughput = throughput_rows()
    overhead, counts = overhead_rows()
    print(benchlib.machine())
    print(f"\nThroughput, {LATENCY_US / 1000:g} ms per inference, {REQUESTS} requests in flight per endpoint:\n")
    benchlib.print_table(["endpoints", "pipeline (frames/s)", "run() loop, 1 endpoint (frames/s)",
                          "pipeline / run()", "ideal (frames/s)", "pipeline / ideal", "target >= 0.9x met"],
                         throughput)
    print("\nHost cost per frame at zero latency (us), one frame in flight:\n")
    benchlib.print_table(["tensors", "submit()+wait() CPU", "put()+get() CPU", "extra CPU", "target <= 2 us met",
                          "submit()+wait() wall", "put()+get() wall", "extra wall"], overhead)
    if counts:
        print("\nInstructions per frame (callgrind, shm tensors, inside the methods named):\n")
        benchlib.print_table(["calls", "module", "client library", "interpreter, numpy, libc"], counts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
