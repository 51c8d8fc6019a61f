"""`ara2 bench` against the emulator: what it counts and reports, both modes,
failures mid-run, and Ctrl-C ending it with a partial report and nothing
left in flight."""
import os
import pty
import select
import signal
import subprocess
import threading
import time

import pytest

from fixtures.cli import child_command
from fixtures.inference_models import passthrough

HANDLES = ("request", "model", "session", "registration")


@pytest.fixture
def at(emulator):
    return ("--socket", emulator.socket_path)


@pytest.fixture
def slow_model(emulated_model):
    """Each inference takes at least half a millisecond."""
    return emulated_model(passthrough(64, faults={"latency_us": 500}), name="slow")


def live(stand_in) -> dict:
    return {kind: stand_in.live_handles(kind) for kind in HANDLES}


@pytest.mark.parametrize("mode, extra, requests, loads, endpoints", [
    ("sync", [], 1, 1, [0]),
    ("sync", ["--endpoints", "all"], 1, 2, [0, 1]),  # run() on each endpoint in turn
    ("async", ["--requests", "3", "--endpoints", "0,1"], 3, 2, [0, 1]),  # three tensor sets on two models
])
def test_bench_counts_what_it_measures(colour_classifier_path, at, ara2_command, stand_in, mode, extra, requests,
                                       loads, endpoints):
    before = live(stand_in)
    result = ara2_command("bench", colour_classifier_path, *at, "--mode", mode, *extra, "--iterations", "40",
                          "--warmup", "5", "--json")
    assert result.status == 0, result.err
    document = result.document
    assert (document["count"], document["requests"], document["endpoints"]) == (40, requests, endpoints)
    assert (document["interrupted"], document["left_in_flight"]) == (False, 0)
    latency = document["latency_ms"]
    assert 0 < latency["min"] <= latency["p50"] <= latency["p90"] <= latency["p99"] <= latency["max"]
    assert document["throughput_per_s"] == pytest.approx(40 / document["duration_s"])
    assert document["device_us"]["run_time"]["min"] <= document["device_us"]["run_time"]["max"]
    assert stand_in.call_count("dv_model_load_from_file") == loads
    called = "dv_infer_sync" if mode == "sync" else "dv_infer_async"
    assert stand_in.call_count(called) == 45
    assert live(stand_in) == before
    assert "\r" not in result.err  # no progress bar off a terminal


@pytest.mark.parametrize("mode, requests", [("sync", 1), ("async", 3)])
def test_bench_tensors_are_in_the_memory_asked_and_all_released(colour_classifier_path, at, ara2_command, stand_in,
                                                                 mode, requests):
    before = live(stand_in)
    result = ara2_command("bench", colour_classifier_path, *at, "--mode", mode, "--requests", str(requests),
                          "--memory", "shm", "--iterations", "30", "--warmup", "0", "--json")
    assert result.status == 0, result.err
    # One input and two outputs per set: the model's own when sync, one set per request in flight when async.
    sets = 1 if mode == "sync" else requests
    assert stand_in.call_count("dv_shmfd_register") == 3 * sets
    assert stand_in.call_count("dv_shmfd_unregister") == 3 * sets
    assert stand_in.call_count("dv_model_unload") == 1
    assert live(stand_in) == before


def test_bench_stops_at_its_time_limit(colour_classifier_path, at, ara2_command):
    document = ara2_command("bench", colour_classifier_path, *at, "--time", "0.3", "--json").document
    assert document["count"] > 0 and document["duration_s"] >= 0.3
    assert document["limit"] == {"seconds": 0.3, "iterations": None}


def test_bench_text_report(colour_classifier_path, at, ara2_command):
    result = ara2_command("bench", colour_classifier_path, *at, "--iterations", "20", "--memory", "shm")
    assert result.status == 0, result.err
    assert "sync, 1 request(s) in flight on endpoint(s) 0, tensors shm, inputs random (seed 0)" in result.out
    assert "measured: 20 inferences in" in result.out and "left in flight: 0" in result.out


def test_bench_with_given_inputs_checks_their_size(colour_classifier_path, at, ara2_command, tmp_path):
    path = tmp_path / "short.bin"
    path.write_bytes(b"\0" * 100)
    result = ara2_command("bench", colour_classifier_path, *at, "--input", path, "--iterations", "5")
    assert result.status == 1
    assert "input 0 (image) takes 3072 bytes" in result.err


def test_bench_endpoint_out_of_range(colour_classifier_path, at, ara2_command):
    result = ara2_command("bench", colour_classifier_path, *at, "--endpoints", "0,5", "--iterations", "5")
    assert result.status == 1
    assert result.err == "ara2 bench: error: endpoint 5 out of range: the proxy has 2 endpoint(s), 0 to 1\n"


def test_a_failing_inference_ends_async_bench_with_nothing_in_flight(emulated_model, at, ara2_command, stand_in):
    path = emulated_model(passthrough(16, faults={"final_state": 4}), name="failing")
    before = live(stand_in)
    result = ara2_command("bench", path, *at, "--mode", "async", "--requests", "4", "--iterations", "20", "--json")
    assert result.status == 1
    assert result.document["error"] == {
        "message": "running the model: Ara2Error: asynchronous inference failed on the NPU", "type": "Ara2Error"}
    assert live(stand_in) == before
    assert stand_in.call_count("dv_infer_free") == stand_in.call_count("dv_infer_async")


@pytest.fixture
def interrupt_when(stand_in):
    """interrupt_when(function, calls): Ctrl-C (SIGINT to this process) once the
    stand-in library has seen `calls` calls of `function`, so measuring has begun."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    threads = []

    def arm(function: str, calls: int) -> None:
        def watch() -> None:
            deadline = time.monotonic() + 60
            while stand_in.call_count(function) < calls and time.monotonic() < deadline:
                time.sleep(0.005)
            os.kill(os.getpid(), signal.SIGINT)

        threads.append(threading.Thread(target=watch, daemon=True))
        threads[-1].start()

    yield arm
    for thread in threads:
        thread.join()
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_ctrl_c_gives_a_partial_report_and_leaves_nothing_in_flight(slow_model, at, ara2_command, stand_in,
                                                                     interrupt_when, mode):
    before = live(stand_in)
    interrupt_when("dv_infer_sync" if mode == "sync" else "dv_infer_async", 30)
    result = ara2_command("bench", slow_model, *at, "--mode", mode, "--requests", "1" if mode == "sync" else "4",
                          "--endpoints", "all", "--time", "60", "--warmup", "2", "--json")
    assert result.status == 130, result.err
    document = result.document
    assert document["interrupted"] and document["error"] is None
    assert document["count"] > 0 and document["duration_s"] < 60
    assert document["left_in_flight"] == 0
    assert live(stand_in) == before
    if mode == "async":
        assert stand_in.call_count("dv_infer_wait_for_completion") >= stand_in.call_count("dv_infer_async")


def _read_until(fd: int, wanted: bytes, seconds: float) -> bytes:
    seen, deadline = b"", time.monotonic() + seconds
    while wanted not in seen and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            seen += chunk
    return seen


def test_ctrl_c_on_a_terminal(slow_model, at):
    """The progress bar goes to a terminal's stderr and is wiped at the end;
    Ctrl-C from there ends the command with the report, exit status 130."""
    controller, terminal = pty.openpty()
    child = child_command("bench", slow_model, *at, "--mode", "async", "--time", "60", stdout=subprocess.PIPE,
                          stderr=terminal, stdin=subprocess.DEVNULL)
    os.close(terminal)
    try:
        progress = _read_until(controller, b"inferences", 60)
        assert b"bench [" in progress, progress
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
        rest = _read_until(controller, b"\x1b[K", 10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        os.close(controller)
    assert child.returncode == 130
    text = out.decode()
    assert "(interrupted)" in text and "left in flight: 0" in text
    assert b"\x1b[K" in progress + rest and b"Traceback" not in progress + rest
