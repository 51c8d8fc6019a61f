"""The demo runs end to end on the emulator and cleans up after itself."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo_run():
    return subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ))


def test_demo_exits_cleanly(demo_run):
    assert demo_run.returncode == 0, demo_run.stdout + demo_run.stderr
    assert "Traceback" not in demo_run.stderr
    assert "6 of 6 images classified as expected" in demo_run.stdout


@pytest.mark.parametrize("how, name, label", [
    ("run()", "crimson", "red"), ("run()", "lime", "green"), ("run()", "navy", "blue"),
    ("wait()", "orange", "red"), ("wait()", "sky", "blue"), ("wait()", "grass", "green"),
])
def test_demo_predicts_each_image(demo_run, how, name, label):
    line = re.search(rf"^\s*{re.escape(how)}\s+{name}\s+-> (\w+)\s+score ([+-][\d.]+)\s+\(run (\d+) us", demo_run.stdout,
                     re.M)
    assert line, demo_run.stdout
    assert line.group(1) == label
    # The winning class has a positive logit; a dequantised score of 0 would mean no output was read.
    assert float(line.group(2)) > 0


def test_demo_shows_the_session_and_the_model(demo_run):
    out = demo_run.stdout
    assert re.search(r"^discover\(\) found Proxy\(pid=\d+", out, re.M), out
    assert re.search(r"^endpoint 0: State\.Idle, DRAM \d+ MiB free", out, re.M)
    assert "labels: ['red', 'green', 'blue']" in out
    assert re.search(r"submitted \w+ as request \d+: InferRequest\(pending\)", out)


def test_demo_leaves_no_daemon_behind(demo_run):
    started = re.search(r"emulator daemon started, pid (\d+), socket (\S+)", demo_run.stdout)
    assert started, demo_run.stdout
    pid, socket = int(started.group(1)), pathlib.Path(started.group(2))
    assert f"emulator daemon stopped (pid {pid})" in demo_run.stdout
    assert not pathlib.Path(f"/proc/{pid}").exists()
    assert not socket.exists()
