"""Shared helpers of the benchmarks: an emulator daemon, emulated models, and
timing that compares a candidate with a baseline measured in the same run.

Timings are interleaved (baseline, candidate, baseline, ...) and the best
round of each is kept, so machine noise hits both sides alike.
"""
from __future__ import annotations

import contextlib
import os
import pathlib
import platform
import sys
import tempfile
import time
from typing import Callable

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "emulator" / "python"))

from ara2_emulator.daemon import Daemon  # noqa: E402
from ara2_emulator.model_builder import build_model  # noqa: E402


def machine() -> str:
    """One line naming the machine the figures were taken on."""
    cpu = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} CPUs, Linux {platform.release()}, Python {platform.python_version()}"


@contextlib.contextmanager
def emulator(endpoints: int = 1, **emulator_config):
    """A running daemon on a private socket; yields (daemon, workdir)."""
    with tempfile.TemporaryDirectory(prefix="ara2-bench-") as workdir:
        config = {
            "proxy": {"interface_type": "SOCKET", "interface_socket_file": [f"{workdir}/proxy.sock"]},
            "emulator": {"endpoints": endpoints, **emulator_config},
        }
        daemon = Daemon(config, workdir=workdir).start()
        try:
            yield daemon, pathlib.Path(workdir)
        finally:
            daemon.close()


def model_file(description: dict, directory: pathlib.Path, name: str) -> pathlib.Path:
    path = directory / f"{name}.dvm"
    build_model(description, path)
    return path


def per_call(function: Callable[[], object], calls: int) -> float:
    """Seconds per call of `function` over `calls` calls."""
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls


def best_of(measures: dict[str, Callable[[], float]], rounds: int) -> dict[str, float]:
    """Runs each measure once per round, in turn, and keeps the lowest value of each."""
    best = {name: float("inf") for name in measures}
    for _ in range(rounds):
        for name, measure in measures.items():
            best[name] = min(best[name], measure())
    return best


def calls_for(seconds_per_call: float, budget: float = 0.05) -> int:
    """How many calls fill about `budget` seconds."""
    return max(3, int(budget / max(seconds_per_call, 1e-9)))


def fmt_size(nbytes: int) -> str:
    return f"{nbytes // (1 << 20)} MiB" if nbytes >= 1 << 20 else f"{nbytes // 1024} KiB"


def print_table(header: list[str], rows: list[list[str]]) -> None:
    """A Markdown table, ready to paste into bench/README.md."""
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
