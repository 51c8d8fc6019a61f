"""Throughput of set_input_tensor(), get_output_tensor() and dequantize() from
64 KiB to 16 MiB, each against a numpy baseline on the same bytes measured in
the same run:

- set_input_tensor / get_output_tensor: numpy.copyto into a preallocated
  buffer (target: at least 0.8x its throughput);
- dequantize: (a.astype(np.int32) - offset).astype(np.float32) * qn
  (target: at least 2x as fast)."""
from __future__ import annotations

import sys

import numpy as np

import benchlib
import tallowind_ara2 as ara2

SIZES = [64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20]
ROUNDS = 5
QN, OFFSET = 0.05, 3


def description(nbytes: int) -> dict:
    return {
        "inputs": [{"name": "data", "shape": [1, 1, nbytes]}],
        "outputs": [{"name": "result", "shape": [1, 1, nbytes], "qn": QN, "offset": OFFSET}],
        "program": {"ops": []},
    }


def ratio_row(name, size, best, baseline, candidate, target):
    ratio = best[baseline] / best[candidate]
    met = ratio >= target
    gbps = size / best[candidate] / 1e9
    return [name, benchlib.fmt_size(size), f"{size / best[baseline] / 1e9:.2f}", f"{gbps:.2f}", f"{ratio:.2f}x",
            f">= {target}x", "yes" if met else "NO"]


def main(memory_kinds=("mem", "shm")) -> int:
    rows = []
    rng = np.random.default_rng(1)
    with benchlib.emulator() as (daemon, workdir):
        session = ara2.Session.create_via_unix_socket(str(daemon.socket_path))
        endpoint = session.list_endpoints()[0]
        for size in SIZES:
            path = benchlib.model_file(description(size), workdir, f"data{size}")
            data = rng.integers(0, 256, size, dtype=np.uint8).reshape(1, 1, size)
            target = np.empty_like(data)
            for memory in memory_kinds:
                with endpoint.load_model(path) as model:
                    model.allocate_tensors(memory)
                    model.set_input_tensor(0, data)
                    model.run()  # the output now holds the bytes the program left (zeros)
                    calls = benchlib.calls_for(benchlib.per_call(lambda: np.copyto(target, data), 3))
                    best = benchlib.best_of({
                        "copyto": lambda: benchlib.per_call(lambda: np.copyto(target, data), calls),
                        "set": lambda: benchlib.per_call(lambda: model.set_input_tensor(0, data), calls),
                        "get": lambda: benchlib.per_call(lambda: model.get_output_tensor(0), calls),
                        "numpy_dq": lambda: benchlib.per_call(
                            lambda: (data.astype(np.int32) - OFFSET).astype(np.float32) * QN, calls),
                        "dequantize": lambda: benchlib.per_call(lambda: model.dequantize(0), calls),
                    }, ROUNDS)
                rows.append(ratio_row(f"set_input_tensor ({memory})", size, best, "copyto", "set", 0.8))
                rows.append(ratio_row(f"get_output_tensor ({memory})", size, best, "copyto", "get", 0.8))
                rows.append(ratio_row(f"dequantize ({memory})", size, best, "numpy_dq", "dequantize", 2.0))
        session.close()
    print(benchlib.machine())
    benchlib.print_table(["operation", "size", "baseline GB/s", "module GB/s", "ratio", "target", "met"],
                         sorted(rows, key=lambda r: r[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
