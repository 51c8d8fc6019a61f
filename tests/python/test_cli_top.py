"""ara2 top: the rates of programs that count their own inferences, read from
the counters every process keeps, on a terminal (tmux) and as JSON; the
counters of a process that died are cleaned up."""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

PROGRAM = """
import sys, time, tallowind_ara2 as ara2
socket, model_path, endpoint, rate, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
with ara2.Session.create_via_unix_socket(socket) as session:
    model = session.list_endpoints()[endpoint].load_model(model_path)
    model.allocate_tensors()
    print("ready", flush=True)
    start, count = time.monotonic(), 0
    while time.monotonic() - start < seconds:
        model.run()
        count += 1
        if rate == 0:
            break
        time.sleep(max(0.0, start + count / rate - time.monotonic()))
    if rate == 0:
        import os, signal
        os.kill(os.getpid(), signal.SIGKILL)  # dies without a word: its counters stay behind
    print(count / (time.monotonic() - start), flush=True)
"""


def segment(pid: int) -> str:
    return f"/dev/shm/tallowind_ara2.{pid}"


@pytest.fixture
def programs(emulator, colour_classifier_path):
    """start(endpoint, rate, seconds) -> a running program that runs its model at `rate` per second
    (0: once, then it kills itself); each prints its own rate when done."""
    started = []

    def start(endpoint: int, rate: float, seconds: float = 30.0) -> subprocess.Popen:
        child = subprocess.Popen([sys.executable, "-c", PROGRAM, emulator.socket_path, str(colour_classifier_path),
                                  str(endpoint), str(rate), str(seconds)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        started.append(child)
        return child

    yield start
    for child in started:
        child.kill()
        child.wait()


def own_rate(child: subprocess.Popen) -> float:
    out, _ = child.communicate(timeout=60)
    return float(out.split()[-1])


def test_json_snapshot_rates_match_what_programs_count(emulator, programs):
    fast, slow = programs(0, 150, seconds=5), programs(1, 50, seconds=5)
    time.sleep(1.5)
    result = subprocess.run([sys.executable, "-m", "ara2_cli", "top", "--json", "--socket", emulator.socket_path],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    rows = {row["pid"]: row for row in document["processes"]}
    for child, endpoint in ((fast, 0), (slow, 1)):
        row = rows[child.pid]
        assert row["models"] == 1 and row["errors"] == 0 and not row["gone"]
        assert "-c" in row["command"] and row["latency_ms"]["samples"] > 0
        assert 0 < row["latency_ms"]["p50"] <= row["latency_ms"]["p99"]
        assert row["rate_per_s"] == pytest.approx(own_rate(child), rel=0.10)
    assert [e["state"] for e in document["endpoints"]] == ["Idle", "Idle"]


def test_a_program_that_died_is_shown_gone_and_its_counters_removed(emulator, programs):
    dead = programs(0, 0)
    dead.wait(timeout=60)
    assert dead.returncode == -signal.SIGKILL and os.path.exists(segment(dead.pid))
    result = subprocess.run([sys.executable, "-m", "ara2_cli", "top", "--json", "--interval", "0",
                             "--socket", emulator.socket_path], capture_output=True, text=True, timeout=60)
    [row] = [row for row in json.loads(result.stdout)["processes"] if row["pid"] == dead.pid]
    assert row["gone"] and row["note"] == "gone: its counters were removed"
    assert not os.path.exists(segment(dead.pid))


def test_counters_can_be_turned_off(emulator, colour_classifier_path):
    code = PROGRAM.replace("print(count", "print(os.path.exists(f'/dev/shm/tallowind_ara2.{os.getpid()}')); print(count")
    code = code.replace("import sys,", "import os, sys,")
    result = subprocess.run([sys.executable, "-c", code, emulator.socket_path, str(colour_classifier_path), "0",
                             "100", "0.1"], env={**os.environ, "ARA2_COUNTERS": "0"},
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.split()[1] == "False", result.stderr


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_the_live_view_in_a_terminal(emulator, programs, tmp_path):
    fast, slow = programs(0, 120, seconds=6), programs(1, 40, seconds=6)
    server = ["tmux", "-L", f"ara2-top-{os.getpid()}", "-f", "/dev/null"]
    command = f"{sys.executable} -m ara2_cli top --socket {emulator.socket_path}"
    subprocess.run([*server, "new-session", "-d", "-s", "top", "-x", "200", "-y", "50", command], check=True,
                   env={**os.environ, "TERM": "xterm"})
    try:
        time.sleep(3.5)  # a few refreshes
        screen = subprocess.run([*server, "capture-pane", "-p", "-t", "top"], capture_output=True, text=True,
                                check=True).stdout
        subprocess.run([*server, "send-keys", "-t", "top", "q"], check=True)
        for _ in range(50):  # q quits
            if subprocess.run([*server, "has-session", "-t", "top"], capture_output=True).returncode != 0:
                break
            time.sleep(0.1)
        else:
            pytest.fail("ara2 top did not quit on q")
    finally:
        subprocess.run([*server, "kill-server"], capture_output=True)
    lines = screen.splitlines()
    assert lines[0].startswith("ara2 top") and any(line.startswith("0        Idle") for line in lines), screen
    for child in (fast, slow):
        [row] = [line.split() for line in lines if line.startswith(str(child.pid))]
        models, rate = int(row[1]), float(row[2])
        assert models == 1 and rate == pytest.approx(own_rate(child), rel=0.10), screen


def test_the_counters_follow_models_requests_and_failures(emulator, colour_classifier_path, stand_in):
    import tallowind_ara2 as ara2
    from ara2_cli.top import read_segment

    def reading():
        counters = read_segment(segment(os.getpid()), window_s=60)
        assert counters is not None and counters.pid == os.getpid()
        return counters

    with ara2.Session.create_via_unix_socket(emulator.socket_path) as session:
        with session.list_endpoints()[1].load_model(colour_classifier_path) as model:
            model.allocate_tensors()
            before = reading()
            sets = [model.create_tensor_set() for _ in range(2)]
            requests = [tensors.submit() for tensors in sets]
            pending = reading()
            assert (pending.in_flight - before.in_flight, pending.endpoints_in_flight[1]) == (2, 2)
            for request in requests:
                request.wait()
            stand_in.inject_status("dv_infer_sync", 500, times=1)
            with pytest.raises(ara2.HardwareError):
                model.run()
            model.run()
            after = reading()
            assert after.in_flight == before.in_flight and after.endpoints_in_flight[1] == 0
            assert (after.completed - before.completed, after.failed - before.failed) == (3, 1)
            assert after.samples_written - before.samples_written == 3 and min(after.latencies_us) > 0
            for tensors in sets:
                tensors.close()
        assert reading().models == before.models - 1
