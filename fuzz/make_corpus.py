"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
valid inputs of the kinds the tests make: model files with their archives,
metadata documents, proxy configurations, fake process trees, and the frames
the module sends the emulated daemon, captured through a relay.

    .venv/bin/python fuzz/make_corpus.py

Needs a build (the capture runs the daemon and the module). Rewrites the
seed directories; the seeds are committed, so run it when an input format
changes and commit the result.
"""
from __future__ import annotations

import hashlib
import json
import os
import pathlib
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import zipfile
from collections.abc import Sequence

import yaml

FUZZ = pathlib.Path(__file__).resolve().parent
REPO = FUZZ.parent
sys.path[:0] = [str(REPO / "tools"), str(REPO / "emulator" / "python")]

from ara2_emulator.daemon import Daemon, library_dir  # noqa: E402
from ara2_emulator.model_builder import build_model  # noqa: E402
from sample_inputs import (FULL_METADATA, archive_bytes, model_bytes, passthrough,  # noqa: E402
                           zip64_archive_bytes)

COLOUR_CLASSIFIER = yaml.safe_load((REPO / "examples" / "colour_classifier.yaml").read_text())


def emulated_model(description: dict) -> bytes:
    with tempfile.TemporaryDirectory() as workdir:
        path = pathlib.Path(workdir) / "model.dvm"
        build_model(description, path)
        return path.read_bytes()


def every_op_model() -> dict:
    """Each op of the program format once, with faults set."""
    return {
        "inputs": [{"name": "x", "shape": [2, 2, 2]}],
        "outputs": [{"name": "y", "shape": [2, 1, 1], "is_signed": True}, {"name": "z", "shape": [4, 1, 1]}],
        "faults": {"completion_states": [1, 0], "final_state": 4, "missing_statistics": True,
                   "call_status": {"dv_infer_free": 21}, "run_time_us": "nan", "latency_us": 10},
        "program": {
            "scratch": {"pooled": 2, "acc": 8, "wide": 8},
            "ops": [
                {"op": "mean_pool", "src": "input:0", "dst": "pooled", "src_type": "u8", "dst_type": "u8"},
                {"op": "dense", "src": "pooled", "src_type": "u8", "src_zero": 3, "weights": [[1, -2], [127, -128]],
                 "bias": [5, -7], "dst": "acc"},
                {"op": "requantize", "src": "acc", "src_type": "i32", "scale": 0.25, "dst_zero": 1,
                 "dst": "wide", "dst_type": "f32"},
                {"op": "argmax", "src": "wide", "src_type": "f32", "count": 2, "dst": "output:0", "dst_type": "i8"},
                {"op": "copy", "src": "input:0", "src_offset": 4, "dst": "output:1", "length": 4},
            ],
        },
        "labels": ["a", "b"],
    }


# --- the core's readers --------------------------------------------------

LABELS = "person\r\n  car \u3000\n\nbicycle\n"


def shift_directory(data: bytes, by: int) -> bytes:
    """The archive with its end record's directory offset moved by `by`."""
    at = data.rindex(b"PK\x05\x06") + 16
    return data[:at] + struct.pack("<I", struct.unpack_from("<I", data, at)[0] + by) + data[at + 4:]


def dvm_archive_seeds() -> dict[str, bytes]:
    """Valid model files, and damaged ones (named damaged_*) that every reader
    must refuse with an archive error."""
    metadata = json.dumps(FULL_METADATA)
    zip64 = zip64_archive_bytes({"tallowind.json": metadata, "labels.txt": LABELS})
    return {
        "zip64": model_bytes(48, seed=6) + zip64,
        "zip64_stored": zip64_archive_bytes({"labels.txt": "a\nb\n", "tallowind.json": "{}"}, zipfile.ZIP_STORED),
        "damaged_directory_offset": shift_directory(archive_bytes({"tallowind.json": "{}", "labels.txt": "a"}), 1),
        "damaged_directory_entry": (model_bytes(24, seed=7) + archive_bytes({"labels.txt": "a", "tallowind.json": "{}"})
                                    ).replace(b"PK\x01\x02", b"PK\x01\x00", 1),
        "damaged_zip64_record": model_bytes(24, seed=8) + zip64.replace(b"PK\x06\x06", b"PK\x06\x00"),
        "deflated": model_bytes(64) + archive_bytes({"tallowind.json": metadata, "labels.txt": LABELS}),
        "stored": model_bytes(64, seed=2) + archive_bytes({"labels.txt": LABELS, "tallowind.json": "{}"},
                                                        zipfile.ZIP_STORED),
        "labels_only": model_bytes(32, seed=3) + archive_bytes({"labels.txt": "a\nb\n"}),
        "other_entries": model_bytes(16, seed=4) + archive_bytes(
            [("notes/tallowind.json", "x"), ("LABELS.TXT", "y"), ("tallowind.json", '{"nms": "x"}')],
            comment=b"built by hand"),
        "empty_archive": archive_bytes({}),
        "no_archive": model_bytes(128, seed=5),
        "emulated_model": emulated_model(COLOUR_CLASSIFIER),
    }


def metadata_seeds() -> dict[str, bytes]:
    documents = {
        "full": FULL_METADATA,
        "empty": {},
        "classifier": COLOUR_CLASSIFIER["metadata"],
        "dshape_forms": {"outputs": [{"dshape": [["batch", 1], {"num_boxes": 8400}], "shape": [1, -1],
                                      "quantization": {"scale": 1e-3, "zero_point": -4}, "normalized": None}]},
        "positional": [{"classes": ["a"]}, ["320x240", 1, 2, "bgr"], ["classify", "n", None, True], None, None, "v1",
                       "nms", [[5, "logits", "classification", None, True, "float32", [1, 1000]]], [7]],
        "numbers": {"compilation": {"ppa": {"ips": 1.5e300, "power_mw": -0.0, "cycles": 18446744073709551615,
                                            "ddr_bw_mbps": 5e-324}}, "ara2": {"qmode": -2147483648}},
    }
    seeds = {name: json.dumps(document).encode() for name, document in documents.items()}
    # A long mantissa scaled far below the smallest double.
    seeds["long_tiny_number"] = b'{"compilation": {"ppa": {"ips": 0.' + b"0" * 42 + b'1e-310}}}'
    seeds["whitespace_and_escapes"] = b' \r\n{"deployment": {"name": "\\u00e9\\ud83d\\ude00\\n"}}\t'
    return seeds


def proxy_config_seeds() -> dict[str, bytes]:
    texts = {
        "socket": "proxy:\n  interface_type: SOCKET\n  interface_socket_file: [/var/run/proxy.sock, 'a b.sock']\n",
        "ipv4": "proxy:\n  interface_type: IPV4\n  interface_ip_address: [127.0.0.1, 0.0.0.0]\n"
                "  interface_port: [8080, 0x1F91]\n",
        "tagged_ports": "proxy: {interface_type: ipv4, interface_ip_address: ['10.0.0.1'],"
                        " interface_port: [!!int '0o17_7']}\n",
        "aliases": "defaults: &d [/run/a.sock, /run/b.sock]\nproxy:\n  interface_socket_file: *d\n"
                   "  interface_type: ~\n",
        "emulator_section": yaml.safe_dump({"proxy": {"interface_socket_file": ["/tmp/p.sock"]},
                                            "emulator": {"endpoints": 2, "listen": ["tcp:127.0.0.1:0"]}}),
        "flow_and_block": "%YAML 1.1\n---\nproxy:\n  ? interface_socket_file\n  : - >-\n      /run/folded\n"
                          "  interface_type: 'SOCKET'\n...\n",
    }
    return {name: text.encode() for name, text in texts.items()}


# --- fake process trees --------------------------------------------------

def tree(*entries: tuple[int, str, bytes | str]) -> bytes:
    """Entries (kind 0 file, 1 link, 2 directory; path; content) in the discovery target's format."""
    out = bytearray()
    for kind, path, content in entries:
        content = content.encode() if isinstance(content, str) else content
        out += struct.pack("<BB", kind, len(path)) + path.encode() + struct.pack("<H", len(content)) + content
    return bytes(out)


UNIX_HEADER = "Num       RefCount Protocol Flags    Type St Inode Path\n"
TCP_HEADER = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"


def unix_line(flags: str, inode: int, path: str) -> str:
    return f"0000000000000000: 00000002 00000000 {flags} 0001 01 {inode:5} {path}\n"


def tcp_line(local: str, state: str, inode: int) -> str:
    return (f"   0: {local} 00000000:0000 {state} 00000000:00000000 00:00000000 00000000     0        0 {inode} 1 "
            "0000000000000000 100 0 0 10 0\n")


def process(pid: int, comm: str, cmdline: list[str], fds: Sequence[str] = (), cwd: str | None = None):
    entries = [(0, f"{pid}/comm", comm), (0, f"{pid}/cmdline", "".join(a + "\0" for a in cmdline)),
               (1, f"{pid}/exe", "/usr/bin/kinara_main"), (2, f"{pid}/fd", "")]
    entries += [(1, f"{pid}/fd/{i}", target) for i, target in enumerate(fds)]
    if cwd is not None:
        entries.append((1, f"{pid}/cwd", cwd))
    return entries


def discovery_seeds() -> dict[str, bytes]:
    tables = [(0, "net/unix", UNIX_HEADER + unix_line("00010000", 7001, "/var/run/proxy.sock")
               + unix_line("00000000", 7004, "/run/idle.sock") + unix_line("00010000", 7005, "@abstract")),
              (0, "net/tcp", TCP_HEADER + tcp_line("0100007F:1F90", "0A", 7002) + tcp_line("00000000:0050", "01", 7003))]
    return {
        "sockets": tree(*process(4242, "kinara_main\n", ["kinara_main", "-c", "/etc/proxy.yaml"],
                                 ["/dev/null", "socket:[7001]", "socket:[7002]", "socket:[7003]", "pipe:[9]"]),
                        *tables),
        "config_fallback": tree(*process(17, "kinara_main\n", ["./kinara_main", "--config", "proxy.yaml"],
                                         cwd="@/etc"),
                                (0, "etc/proxy.yaml", proxy_config_seeds()["ipv4"])),
        "config_equals": tree(*process(90, "kinara_main", ["kinara_main", "--config=etc/p.yaml"], ["socket:[1]"],
                                       cwd="@/"),
                              (0, "etc/p.yaml", proxy_config_seeds()["socket"]), *tables),
        "several": tree(*process(300, "kinara_main\n", ["kinara_main"], ["socket:[7002]"]),
                        *process(20, "python3\n", ["python3", "-c", "x"]),
                        *process(100, "kinara_main\n", ["kinara_main", "-c"], ["socket:[7001]"]),
                        (0, "self", "not a pid"), *tables),
    }


# --- daemon frames -------------------------------------------------------

FRAME_HEADER = struct.Struct("<III")
OP_MODEL_LOAD = 5

SCENARIO = """
import sys
import numpy as np
import tallowind_ara2 as ara2

socket_path, model_path, memory = sys.argv[1:]
with ara2.Session.create_via_unix_socket(socket_path) as session:
    session.versions()
    endpoints = session.list_endpoints()
    for endpoint in endpoints:
        endpoint.check_status()
        endpoint.dram_statistics()
    with endpoints[0].load_model(model_path) as model:
        model.allocate_tensors(memory)
        for i in range(model.n_inputs):
            model.set_input_tensor(i, np.full(model.input_size(i), 7, np.uint8))
        # Models with faults make these fail: the frames are what matters.
        for step in (model.run, lambda: (model.submit(), session.inflight_count())[0].wait()):
            try:
                step()
            except ara2.Ara2Error:
                pass
        for i in range(model.n_outputs):
            model.get_output_tensor(i)
"""


def recv_exact(conn: socket.socket, size: int, fds: list[int]) -> bytes:
    data = b""
    while len(data) < size:
        chunk, received, _, _ = socket.recv_fds(conn, size - len(data), 4)
        fds += received
        if not chunk:
            raise EOFError
        data += chunk
    return data


def relay(listener: socket.socket, upstream_path: str, frames: list[tuple[int, bytes]]) -> None:
    """Serves one connection, passing its frames (and descriptors) to the
    daemon and recording each request as (code, payload)."""
    client, _ = listener.accept()
    upstream = socket.socket(socket.AF_UNIX)
    upstream.connect(upstream_path)

    def answers() -> None:
        while data := upstream.recv(65536):
            client.sendall(data)
        client.close()

    back = threading.Thread(target=answers)
    back.start()
    try:
        while True:
            fds: list[int] = []
            header = recv_exact(client, FRAME_HEADER.size, fds)
            _, code, length = FRAME_HEADER.unpack(header)
            payload = recv_exact(client, length, fds)
            frames.append((code, payload))
            socket.send_fds(upstream, [header + payload], fds)
            for fd in fds:
                os.close(fd)
    except EOFError:
        pass
    upstream.shutdown(socket.SHUT_WR)
    back.join()
    upstream.close()


def frames_seed(frames: list[tuple[int, bytes]], model: bytes, tcp: bool = False) -> bytes:
    """The daemon target's input: flags, then the model file, then every frame."""
    out = bytearray([1 if tcp else 0])
    out += struct.pack("<II", 0, len(model)) + model
    for code, payload in frames:
        out += struct.pack("<II", code, len(payload)) + payload
    return bytes(out)


def daemon_frame_seeds() -> dict[str, bytes]:
    env = {**os.environ, "LD_LIBRARY_PATH": str(library_dir("v1_3"))}
    models = {"classifier": emulated_model(COLOUR_CLASSIFIER), "every_op": emulated_model(every_op_model()),
              "passthrough": emulated_model(passthrough(16, faults={"completion_states": [1]}))}
    seeds = {}
    for (name, model), memory in [(("classifier", models["classifier"]), "mem"),
                                  (("classifier", models["classifier"]), "shm"),
                                  (("every_op", models["every_op"]), "mem"),
                                  (("passthrough", models["passthrough"]), "shm")]:
        # A daemon per capture: the target's ids are those of a daemon's first client.
        with tempfile.TemporaryDirectory(prefix="ara2-corpus-") as workdir:
            workdir = pathlib.Path(workdir)
            config = {"proxy": {"interface_socket_file": [str(workdir / "proxy.sock")]},
                      "emulator": {"endpoints": 2}}
            model_path = workdir / f"{name}.dvm"
            model_path.write_bytes(model)
            relay_path = str(workdir / "relay.sock")
            listener = socket.socket(socket.AF_UNIX)
            listener.bind(relay_path)
            listener.listen(1)
            frames: list[tuple[int, bytes]] = []
            with Daemon(config, workdir=workdir) as daemon:
                serving = threading.Thread(target=relay, args=(listener, str(daemon.socket_path), frames))
                serving.start()
                subprocess.run([sys.executable, "-c", SCENARIO, relay_path, str(model_path), memory], check=True,
                               env=env)
                serving.join()
            listener.close()
        seeds[f"{name}_{memory}"] = frames_seed(frames, model)
        if memory == "mem":
            seeds[f"{name}_tcp"] = frames_seed(frames, model, tcp=True)
    return seeds


def write(target: str, seeds: dict[str, bytes]) -> None:
    directory = FUZZ / "corpus" / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, data in seeds.items():
        # Named by content as libFuzzer names what it adds, prefixed with what the seed shows.
        (directory / f"{name}-{hashlib.sha1(data).hexdigest()[:12]}").write_bytes(data)


def main() -> int:
    write("fuzz_dvm_archive", dvm_archive_seeds())
    write("fuzz_metadata", metadata_seeds())
    write("fuzz_proxy_config", proxy_config_seeds())
    write("fuzz_discovery", discovery_seeds())
    write("fuzz_model_file", {"classifier": emulated_model(COLOUR_CLASSIFIER),
                              "every_op": emulated_model(every_op_model()),
                              "passthrough": emulated_model(passthrough(16, bpp=2, size=40))})
    write("fuzz_daemon_frames", daemon_frame_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
