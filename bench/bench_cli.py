"""Overhead of `ara2 bench --mode sync`: its measuring loop, and the whole
command, against a bare Python loop of Model.run() on the same model.
Target: the tool reaches at least 0.9x the bare loop's throughput."""
from __future__ import annotations

import json
import os
import subprocess
import sys
import time

import yaml

import benchlib
import tallowind_ara2 as ara2
from ara2_cli.bench import Limit, Recorder, measure_sync

ROUNDS = 15
CALLS = 2000
TARGET = 0.9


def loaded(socket: str, model_path: str, loop) -> float:
    """Seconds per inference of `loop(model)`, on a fresh session and model
    (the emulator's cost per call drifts as one session accumulates requests)."""
    with ara2.Session.create_via_unix_socket(socket) as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            model.allocate_tensors()
            model.run()
            return loop(model)


def bare_loop(model: ara2.Model) -> float:
    run = model.run
    start = time.perf_counter()
    for _ in range(CALLS):
        run()
    return (time.perf_counter() - start) / CALLS


def tool_loop(model: ara2.Model) -> float:
    recorder = Recorder()
    measure_sync([model], recorder, Limit(count=CALLS))
    return (recorder.end_ns - recorder.start_ns) / 1e9 / len(recorder.latency_ns)


def command(socket: str, model_path: str) -> float:
    """The throughput `ara2 bench` reports, as seconds per inference."""
    result = subprocess.run([sys.executable, "-m", "ara2_cli", "bench", model_path, "--socket", socket,
                             "--iterations", str(CALLS), "--warmup", "1", "--json"],
                            capture_output=True, text=True, check=True, env=dict(os.environ))
    return 1 / json.loads(result.stdout)["throughput_per_s"]


def main() -> int:
    description = yaml.safe_load((benchlib.ROOT / "examples" / "colour_classifier.yaml").read_text())
    with benchlib.emulator() as (daemon, workdir):
        socket = str(daemon.socket_path)
        model_path = str(benchlib.model_file(description, workdir, "colour_classifier"))
        best = benchlib.best_of({
            "bare": lambda: loaded(socket, model_path, bare_loop),
            "loop": lambda: loaded(socket, model_path, tool_loop),
            "command": lambda: command(socket, model_path),
        }, ROUNDS)
    rows = []
    for name, label in (("loop", "measure_sync (the tool's loop, in-process)"),
                        ("command", "`ara2 bench --mode sync` (reported throughput)")):
        ratio = best["bare"] / best[name]
        rows.append([label, f"{1 / best['bare']:,.0f}", f"{1 / best[name]:,.0f}", f"{ratio:.3f}x",
                     "yes" if ratio >= TARGET else "NO"])
    print(benchlib.machine())
    benchlib.print_table(["tool side", "bare run() loop (inferences/s)", "tool (inferences/s)", "ratio",
                          f"target >= {TARGET}x met"], rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
