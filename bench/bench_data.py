"""Throughput of set_input_tensor(), get_output_tensor() and dequantize() from
64 KiB to 16 MiB, each against a numpy baseline on the same bytes measured in
the same run:

- set_input_tensor / get_output_tensor: numpy.copyto into a preallocated
  buffer (target: at least 0.8x its throughput);
- dequantize: (a.astype(np.int32) - offset).astype(np.float32) * qn
  (target: at least 2x as fast).

Small outputs (3 bytes to 4 KiB), where the fixed cost of a call counts
rather than the copy, get a table of their own in microseconds per call and,
when valgrind is installed, the instructions of one call by object."""
from __future__ import annotations

import sys

import numpy as np

import benchlib
import instructions
import tallowind_ara2 as ara2

SIZES = [64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20]
SMALL_SIZES = [3, 64, 4 << 10]
ROUNDS = 15
QN, OFFSET = 0.05, 3
COUNTED_CALLS = 200


def description(nbytes: int) -> dict:
    return {
        "inputs": [{"name": "data", "shape": [1, 1, nbytes]}],
        "outputs": [{"name": "result", "shape": [1, 1, nbytes], "qn": QN, "offset": OFFSET}],
        # The output then holds real bytes: untouched heap pages all read as the shared zero page.
        "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
    }


def ratio_row(name, size, best, baseline, candidate, target):
    ratio = best[baseline] / best[candidate]
    met = ratio >= target
    gbps = size / best[candidate] / 1e9
    return [name, benchlib.fmt_size(size), f"{size / best[baseline] / 1e9:.2f}", f"{gbps:.2f}", f"{ratio:.2f}x",
            f">= {target}x", "yes" if met else "NO"]


def per_call_row(name, size, best, baseline, candidate):
    return [name, f"{size} B", f"{best[baseline] * 1e6:.2f}", f"{best[candidate] * 1e6:.2f}",
            f"{best[baseline] / best[candidate]:.2f}x"]


def measure(endpoint, path, data, memory) -> dict[str, float]:
    """Best seconds per call of each operation and its baseline, interleaved."""
    target = np.empty_like(data)
    with endpoint.load_model(path) as model:
        model.allocate_tensors(memory)
        model.set_input_tensor(0, data)
        model.run()
        operations = {
            "copyto": lambda: np.copyto(target, data),
            "set": lambda: model.set_input_tensor(0, data),
            "get": lambda: model.get_output_tensor(0),
            "numpy_dq": lambda: (data.astype(np.int32) - OFFSET).astype(np.float32) * QN,
            "dequantize": lambda: model.dequantize(0),
        }
        return benchlib.best_of({name: benchlib.timer(op) for name, op in operations.items()}, ROUNDS)


def instruction_rows(socket, path, size) -> list[list[str]]:
    setup = (f"import numpy as np\n"
             f"import tallowind_ara2 as ara2\n"
             f"session = ara2.Session.create_via_unix_socket({str(socket)!r})\n"
             f"model = session.list_endpoints()[0].load_model({str(path)!r})\n"
             f"model.allocate_tensors('mem')\n"
             f"model.set_input_tensor(0, np.arange({size}, dtype=np.uint8))\n"
             f"model.run()")
    rows = []
    for method, call in [("get_output_tensor", "model.get_output_tensor(0)"), ("dequantize", "model.dequantize(0)")]:
        count = instructions.per_call(setup, call, "Model." + method, COUNTED_CALLS)
        rows.append([f"{method} (mem)", f"{size} B", f"{count['module']:.0f}", f"{count['other']:.0f}"])
    return rows


def main(memory_kinds=("mem", "shm")) -> int:
    rows, small_rows, counts = [], [], []
    rng = np.random.default_rng(1)
    with benchlib.emulator() as (daemon, workdir):
        session = ara2.Session.create_via_unix_socket(str(daemon.socket_path))
        endpoint = session.list_endpoints()[0]
        for size in SMALL_SIZES + SIZES:
            path = benchlib.model_file(description(size), workdir, f"data{size}")
            data = rng.integers(0, 256, size, dtype=np.uint8).reshape(1, 1, size)
            for memory in memory_kinds:
                best = measure(endpoint, path, data, memory)
                if size in SMALL_SIZES:
                    small_rows.append(per_call_row(f"get_output_tensor ({memory})", size, best, "copyto", "get"))
                    small_rows.append(per_call_row(f"dequantize ({memory})", size, best, "numpy_dq", "dequantize"))
                    continue
                rows.append(ratio_row(f"set_input_tensor ({memory})", size, best, "copyto", "set", 0.8))
                rows.append(ratio_row(f"get_output_tensor ({memory})", size, best, "copyto", "get", 0.8))
                rows.append(ratio_row(f"dequantize ({memory})", size, best, "numpy_dq", "dequantize", 2.0))
            if size == SMALL_SIZES[0] and instructions.available():
                counts = instruction_rows(daemon.socket_path, path, size)
        session.close()
    print(benchlib.machine())
    benchlib.print_table(["operation", "size", "baseline GB/s", "module GB/s", "ratio", "target", "met"],
                         sorted(rows, key=lambda r: r[0]))
    print()
    benchlib.print_table(["operation", "size", "baseline (us/call)", "module (us/call)", "ratio"],
                         sorted(small_rows, key=lambda r: r[0]))
    if counts:
        print()
        benchlib.print_table(["operation", "size", "module (instructions/call)", "interpreter, numpy, libc"], counts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
