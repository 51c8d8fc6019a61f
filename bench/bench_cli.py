"""Overhead of `ara2 bench --mode sync`: its measuring loop, and the whole
command, against a bare Python loop of Model.run() on the same model.
Target: the tool reaches at least 0.9x the bare loop's throughput.

The emulator's cost per call swings with the machine's load, so the loop's
own bookkeeping is also timed alone, around a stand-in run() that returns at
once: that cost, next to run()'s, hardly depends on the load."""
from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys
import time
from types import SimpleNamespace
from typing import Any, Callable

import yaml

import benchlib
import tallowind_ara2 as ara2
from ara2_cli.bench import Limit, Recorder, measure_sync

ROUNDS = 30
CALLS = 1000
INSTANT_CALLS = 200_000
TARGET = 0.9


def bare_loop(model: Any, calls: int) -> float:
    """Seconds per call of a plain loop of run()."""
    run = model.run
    start = time.perf_counter()
    for _ in range(calls):
        run()
    return (time.perf_counter() - start) / calls


def tool_loop(model: Any, calls: int) -> float:
    """Seconds per inference of the tool's sync loop, as it reports them."""
    recorder = Recorder()
    measure_sync([model], recorder, Limit(count=calls))
    return (recorder.end_ns - recorder.start_ns) / 1e9 / len(recorder.latency_ns)


def on_fresh_model(socket: str, model_path: str, loop: Callable[[Any, int], float]) -> float:
    # A fresh session and model each round: the emulator's cost per call
    # drifts as one session accumulates requests.
    with ara2.Session.create_via_unix_socket(socket) as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            model.allocate_tensors()
            model.run()
            return loop(model, CALLS)


def command(socket: str, model_path: str) -> float:
    """Seconds per inference from the throughput `ara2 bench` reports."""
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
            "bare": lambda: on_fresh_model(socket, model_path, bare_loop),
            "loop": lambda: on_fresh_model(socket, model_path, tool_loop),
            "command": lambda: command(socket, model_path),
        }, ROUNDS)
        timing = on_fresh_model(socket, model_path, lambda model, _: model.run())
    instant = SimpleNamespace(run=itertools.repeat(timing).__next__)
    alone = benchlib.best_of({"bare": lambda: bare_loop(instant, INSTANT_CALLS),
                              "loop": lambda: tool_loop(instant, INSTANT_CALLS)}, 5)
    extra = alone["loop"] - alone["bare"]

    rows = []
    for name, label in (("loop", "measure_sync, the tool's loop (in-process)"),
                        ("command", "`ara2 bench --mode sync` (its reported throughput)")):
        ratio = best["bare"] / best[name]
        rows.append([label, f"{1 / best['bare']:,.0f}", f"{1 / best[name]:,.0f}", f"{ratio:.3f}x",
                     "yes" if ratio >= TARGET else "NO"])
    expected = best["bare"] / (best["bare"] + extra)
    rows.append([f"the loop's bookkeeping alone: {extra * 1e9:.0f} ns per inference", "", "",
                 f"{expected:.3f}x", "yes" if expected >= TARGET else "NO"])
    print(benchlib.machine())
    benchlib.print_table(["tool side", "bare run() loop (inferences/s)", "tool (inferences/s)", "ratio",
                          f"target >= {TARGET}x met"], rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
