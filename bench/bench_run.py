"""Per-call cost of Model.run() against the same synchronous inference called
straight through the client library from C (bench/infer_sync.c), on the same
model, tensor sizes and memory kind. Target: at most 1.10x, or within 2 us."""
from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import yaml

import benchlib
import tallowind_ara2 as ara2

ROUNDS = 7
HARNESS = pathlib.Path(os.environ.get("ARA2_BUILD", benchlib.ROOT / "build")) / "bench" / "ara2_bench_infer_sync"


def c_per_call(socket, model_path, memory, calls, inputs, outputs) -> float:
    command = [str(HARNESS), str(socket), str(model_path), memory, str(calls), "1",
               *map(str, inputs), "--", *map(str, outputs)]
    result = subprocess.run(command, capture_output=True, text=True, check=True)
    return float(result.stdout.split()[-1])


def main() -> int:
    if not HARNESS.is_file():
        print(f"missing {HARNESS}; build it with: cmake --build build --target ara2_bench_infer_sync")
        return 1
    description = yaml.safe_load((benchlib.ROOT / "examples" / "colour_classifier.yaml").read_text())
    rows = []
    with benchlib.emulator() as (daemon, workdir):
        model_path = benchlib.model_file(description, workdir, "colour_classifier")
        session = ara2.Session.create_via_unix_socket(str(daemon.socket_path))
        endpoint = session.list_endpoints()[0]
        for memory in ("mem", "shm"):
            with endpoint.load_model(model_path) as model:
                model.allocate_tensors(memory)
                inputs = [model.input_shape(i)[0] * model.input_shape(i)[1] * model.input_shape(i)[2]
                          for i in range(model.n_inputs)]
                outputs = [model.output_size(i) for i in range(model.n_outputs)]
                model.run()
                calls = benchlib.calls_for(benchlib.per_call(model.run, 20), budget=0.3)
                best = benchlib.best_of({
                    "c": lambda: c_per_call(daemon.socket_path, model_path, memory, calls, inputs, outputs),
                    "module": lambda: benchlib.per_call(model.run, calls),
                }, ROUNDS)
            ratio = best["module"] / best["c"]
            extra_us = (best["module"] - best["c"]) * 1e6
            met = ratio <= 1.10 or extra_us <= 2.0
            rows.append([memory, f"{best['c'] * 1e6:.1f}", f"{best['module'] * 1e6:.1f}", f"{ratio:.3f}x",
                         f"{extra_us:+.2f}", "yes" if met else "NO"])
        session.close()
    print(benchlib.machine())
    benchlib.print_table(["tensors", "C dv_infer_sync (us/call)", "run() (us/call)", "ratio", "extra (us)",
                          "target met"], rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
