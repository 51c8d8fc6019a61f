"""Per-call cost of Model.run() against the same synchronous inference called
straight through the client library from C (bench/infer_sync.c), on the same
model, tensor sizes and memory kind. Target: at most 1.10x, or within 2 us.

The emulator's socket round trip dwarfs the module's share of a call, so a
second table counts the instructions of one run() call by object under
callgrind (when valgrind is installed): the module's own figure is exact."""
from __future__ import annotations

import math
import os
import pathlib
import subprocess
import sys

import yaml

import benchlib
import instructions
import tallowind_ara2 as ara2

ROUNDS = 25
CALLS = 1000
COUNTED_CALLS = 200
HARNESS = pathlib.Path(os.environ.get("ARA2_BUILD", benchlib.ROOT / "build")) / "bench" / "ara2_bench_infer_sync"


def c_per_call(socket, model_path, memory, calls, inputs, outputs) -> float:
    command = [str(HARNESS), str(socket), str(model_path), memory, str(calls), "1",
               *map(str, inputs), "--", *map(str, outputs)]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return float(result.stdout.split()[-1])


def module_per_call(socket, model_path, memory, calls) -> float:
    # A fresh session and model each round, as the C harness has: the
    # emulator's per-call cost drifts as one session accumulates requests.
    with ara2.Session.create_via_unix_socket(str(socket)) as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            model.allocate_tensors(memory)
            model.run()
            return benchlib.per_call(model.run, calls)


def main() -> int:
    if not HARNESS.is_file():
        print(f"missing {HARNESS}; build it with: cmake --build build --target ara2_bench_infer_sync")
        return 1
    description = yaml.safe_load((benchlib.ROOT / "examples" / "colour_classifier.yaml").read_text())
    rows = []
    with benchlib.emulator() as (daemon, workdir):
        model_path = benchlib.model_file(description, workdir, "colour_classifier")
        with ara2.Session.create_via_unix_socket(str(daemon.socket_path)) as session:
            with session.list_endpoints()[0].load_model(model_path) as model:
                inputs = [math.prod(model.input_shape(i)) for i in range(model.n_inputs)]
                outputs = [model.output_size(i) for i in range(model.n_outputs)]
        for memory in ("mem", "shm"):
            best = benchlib.best_of({
                "c": lambda: c_per_call(daemon.socket_path, model_path, memory, CALLS, inputs, outputs),
                "module": lambda: module_per_call(daemon.socket_path, model_path, memory, CALLS),
            }, ROUNDS)
            ratio = best["module"] / best["c"]
            extra_us = (best["module"] - best["c"]) * 1e6
            met = ratio <= 1.10 or extra_us <= 2.0
            rows.append([memory, f"{best['c'] * 1e6:.1f}", f"{best['module'] * 1e6:.1f}", f"{ratio:.3f}x",
                         f"{extra_us:+.2f}", "yes" if met else "NO"])
        counts = instruction_rows(daemon.socket_path, model_path) if instructions.available() else []
    print(benchlib.machine())
    benchlib.print_table(["tensors", "C dv_infer_sync (us/call)", "run() (us/call)", "ratio", "extra (us)",
                          "target met"], rows)
    if counts:
        print()
        benchlib.print_table(["tensors", "module (instructions/call)", "client library", "interpreter, libc"],
                             counts)
    return 0


def instruction_rows(socket, model_path) -> list[list[str]]:
    rows = []
    for memory in ("mem", "shm"):
        setup = (f"import tallowind_ara2 as ara2\n"
                 f"session = ara2.Session.create_via_unix_socket({str(socket)!r})\n"
                 f"model = session.list_endpoints()[0].load_model({str(model_path)!r})\n"
                 f"model.allocate_tensors({memory!r})\n"
                 f"model.run()")
        count = instructions.per_call(setup, "model.run()", "Model.run", COUNTED_CALLS)
        rows.append([memory, *(f"{count[name]:.0f}" for name in ("module", "client library", "other"))])
    return rows


if __name__ == "__main__":
    sys.exit(main())
