"""Request traces: the Chrome trace event JSON a recording writes, the host
spans of each request on its thread and the device's spans per endpoint,
equal to the requests' timings."""
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tallowind_ara2 as ara2

HOST_PHASES = {"input write", "run", "submit", "wait", "output read", "dequantize", "put", "collect"}
DEVICE_PHASES = ("device input", "device run", "device output")


def load_trace(path) -> list[dict]:
    """The spans of a trace file, after checking it is Chrome trace event JSON."""
    document = json.loads(path.read_text())
    assert set(document) == {"displayTimeUnit", "otherData", "traceEvents"} and document["otherData"]["dropped"] == 0
    spans, named = [], set()
    for event in document["traceEvents"]:
        assert isinstance(event["name"], str) and isinstance(event["pid"], int)
        if event["ph"] == "M":
            assert event["name"] in ("process_name", "thread_name") and isinstance(event["args"]["name"], str)
            named.add((event["pid"], event.get("tid")))
            continue
        assert event["ph"] == "X" and event["cat"] in ("host", "device"), event
        assert isinstance(event["tid"], int) and isinstance(event["args"], dict)
        assert isinstance(event["ts"], (int, float)) and event["ts"] >= 0 and event["dur"] >= 0
        assert (event["name"] in DEVICE_PHASES) == (event["cat"] == "device")
        assert event["name"] in HOST_PHASES | set(DEVICE_PHASES)
        spans.append(event)
    for span in spans:  # every track and process is named
        assert (span["pid"], span["tid"]) in named and (span["pid"], None) in named
    return spans


def device_timings(spans, endpoint) -> list[tuple[float, float, float]]:
    """(input, run, output) microseconds of each request on an endpoint, in the order the device ran them."""
    device = sorted((s for s in spans if s["cat"] == "device" and s["tid"] == endpoint),
                    key=lambda s: (s["ts"], DEVICE_PHASES.index(s["name"])))
    assert [s["name"] for s in device] == list(DEVICE_PHASES) * (len(device) // 3)
    for first, second in zip(device, device[1:]):  # back to back, never overlapping
        assert second["ts"] >= first["ts"] + first["dur"] - 1e-3
    return [(a["dur"], b["dur"], c["dur"]) for a, b, c in zip(device[::3], device[1::3], device[2::3])]


@pytest.fixture
def session(emulator):
    with ara2.Session.create_via_unix_socket(emulator.socket_path) as opened:
        yield opened


def test_a_pipeline_over_two_endpoints_shows_each_frame_on_host_and_device(session, colour_classifier_path,
                                                                           tmp_path):
    path = tmp_path / "pipeline.json"
    endpoints = session.list_endpoints()
    frames = 12
    with ara2.trace.start(path), ara2.Pipeline.open(endpoints, colour_classifier_path) as pipeline:
        for _ in range(frames):
            pipeline.put(np.zeros((3, 32, 32), np.uint8))
        pipeline.wait_all()
        results = list(pipeline)
    assert ara2.trace.recording() is None
    spans = load_trace(path)
    for endpoint in (0, 1):
        expected = [(float(r.timing.input_time_us), float(r.timing.run_time_us), float(r.timing.output_time_us))
                    for r in results if r.endpoint == endpoint]
        assert len(expected) == frames // 2 and device_timings(spans, endpoint) == expected
    host = [s for s in spans if s["cat"] == "host"]
    assert {s["tid"] for s in host} == {threading.get_native_id()}
    for phase in ("put", "input write", "submit", "collect", "output read"):
        count = sum(s["name"] == phase for s in host)
        assert count == frames, (phase, count)
    for phase in ("put", "input write", "collect", "output read"):  # each frame's spans name it
        assert sorted(s["args"]["frame"] for s in host if s["name"] == phase) == list(range(frames))
    assert {s["args"]["endpoint"] for s in host if s["name"] == "submit"} == {0, 1}


def test_synchronous_calls_and_their_tensors(session, colour_classifier_path, tmp_path):
    path = tmp_path / "model.json"
    with session.list_endpoints()[1].load_model(colour_classifier_path) as model:
        model.allocate_tensors()
        model.run()  # before the recording: not in it
        with ara2.trace.start(path) as recording:
            assert ara2.trace.recording() == str(path) and "recording" in repr(recording)
            model.set_input_tensor(0, np.zeros(3 * 32 * 32, np.uint8))
            timing = model.run()
            model.get_output_tensor(1)
            model.dequantize(0)
            waited = model.submit().wait()
        assert "stopped" in repr(recording)
    spans = load_trace(path)
    assert [(s["name"], s["args"]) for s in spans if s["cat"] == "host"] == [
        ("input write", {"endpoint": 1, "tensor": 0}), ("run", {"endpoint": 1}),
        ("output read", {"endpoint": 1, "tensor": 1}), ("dequantize", {"endpoint": 1, "tensor": 0}),
        ("submit", {"endpoint": 1}), ("wait", {"endpoint": 1})]
    assert device_timings(spans, 1) == [tuple(float(t) for t in (x.input_time_us, x.run_time_us, x.output_time_us))
                                        for x in (timing, waited)]
    run = next(s for s in spans if s["name"] == "run")
    first_device = min(s["ts"] for s in spans if s["cat"] == "device")
    assert run["ts"] <= first_device <= run["ts"] + run["dur"]


def test_one_recording_at_a_time_and_clear_errors(tmp_path):
    with pytest.raises(RuntimeError, match="^no trace is being recorded$"):
        ara2.trace.stop()
    with pytest.raises(FileNotFoundError):
        ara2.trace.start(tmp_path / "missing" / "trace.json")
    assert ara2.trace.recording() is None
    first = ara2.trace.start(tmp_path / "first.json")
    try:
        with pytest.raises(RuntimeError, match="already being recorded to .*first.json"):
            ara2.trace.start(tmp_path / "second.json")
    finally:
        assert ara2.trace.stop() == 0
    # An old recording's exit leaves a newer one alone.
    with ara2.trace.start(tmp_path / "second.json"):
        first.__exit__(None, None, None)
        assert ara2.trace.recording() == str(tmp_path / "second.json")
    assert load_trace(tmp_path / "first.json") == []


def test_a_program_traced_through_the_environment(emulator, colour_classifier_path, tmp_path):
    path = tmp_path / "program.json"
    code = (f"import tallowind_ara2 as ara2\n"
            f"with ara2.Session.create_via_unix_socket({emulator.socket_path!r}) as s:\n"
            f"    model = s.list_endpoints()[0].load_model({str(colour_classifier_path)!r})\n"
            f"    model.allocate_tensors()\n"
            f"    for _ in range(3): model.run()\n"
            f"    model.close()\n")
    result = subprocess.run([sys.executable, "-c", code], env={**os.environ, "ARA2_TRACE": str(path)},
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    spans = load_trace(path)
    assert [s["name"] for s in spans if s["cat"] == "host"] == ["run"] * 3
    assert len(device_timings(spans, 0)) == 3


def test_an_unwritable_trace_in_the_environment_fails_the_import(tmp_path):
    result = subprocess.run([sys.executable, "-c", "import tallowind_ara2"],
                            env={**os.environ, "ARA2_TRACE": str(tmp_path / "missing" / "t.json")},
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "FileNotFoundError" in result.stderr


def test_a_trace_drawn_as_a_picture(session, colour_classifier_path, tmp_path):
    import xml.etree.ElementTree as ElementTree

    from fixtures.paths import REPO

    path, picture = tmp_path / "run.json", tmp_path / "run.svg"
    with session.list_endpoints()[0].load_model(colour_classifier_path) as model, ara2.trace.start(path):
        model.allocate_tensors()
        for _ in range(3):
            model.run()
    spans = load_trace(path)
    drawn = subprocess.run([sys.executable, REPO / "scripts" / "trace_picture.py", path, picture],
                           capture_output=True, text=True, timeout=60)
    assert drawn.returncode == 0, drawn.stderr
    titles = [element.text for element in ElementTree.parse(picture).iter("{http://www.w3.org/2000/svg}title")]
    assert sorted(titles) == sorted(f"{s['name']} {s['dur']:.1f} us" for s in spans)


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_bench_records_the_measured_inferences(emulator, colour_classifier_path, ara2_command, tmp_path, mode):
    path = tmp_path / "bench.json"
    result = ara2_command("bench", colour_classifier_path, "--mode", mode, "--iterations", "7", "--warmup", "3",
                          "--socket", emulator.socket_path, "--trace", path, "--json")
    assert result.status == 0, result.err
    spans = load_trace(path)
    assert result.document["trace"] == {"file": str(path), "spans": len(spans)}
    assert sum(s["name"] == "device run" for s in spans) == result.document["count"]
    assert ara2.trace.recording() is None
    text = ara2_command("bench", colour_classifier_path, "--iterations", "2", "--socket", emulator.socket_path,
                        "--trace", tmp_path / "missing" / "t.json")
    assert text.status == 1 and text.err.startswith(f"ara2 bench: error: recording a trace to {tmp_path}")


def test_a_trace_that_cannot_be_written_at_the_end_says_so_and_stops(tmp_path):
    path = tmp_path / "gone.json"
    ara2.trace.start(path)
    path.unlink()
    path.mkdir()  # the file's place taken by a directory while recording
    with pytest.raises(IsADirectoryError):
        ara2.trace.stop()
    assert ara2.trace.recording() is None


def test_images_written_into_inputs_are_input_writes(session, colour_classifier_path, tmp_path):
    path = tmp_path / "images.json"
    image = np.zeros((48, 64, 3), np.uint8)
    endpoints = session.list_endpoints()
    with endpoints[0].load_model(colour_classifier_path) as model, ara2.Pipeline.open(endpoints, colour_classifier_path) \
            as pipeline:
        model.allocate_tensors()
        with ara2.trace.start(path):
            model.set_input_image(0, image)
            for _ in range(3):
                pipeline.put_image(image)
            pipeline.wait_all()
    host = [(s["name"], s["args"]) for s in load_trace(path) if s["cat"] == "host" and s["name"] != "submit"]
    assert host[0] == ("input write", {"endpoint": 0, "tensor": 0})
    for frame in range(3):
        assert ("put", {"frame": frame}) in host and ("input write", {"frame": frame}) in host
