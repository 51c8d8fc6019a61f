"""The ara2 command against the emulator: scan, inspect and run, their
reports in text and JSON, exit statuses and one-line errors."""
import ast
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tallowind_ara2 as ara2
from fixtures.cli import child_command
from fixtures.paths import REPO
from fixtures.surface import generator

RED = np.full((3, 32, 32), [[[200]], [[20]], [[40]]], dtype=np.uint8)
MISSING_SOCKET = "/nonexistent/ara2.sock"


@pytest.fixture
def at(emulator):
    """The options that name the test daemon's socket."""
    return ("--socket", emulator.socket_path)


@pytest.fixture
def red_image(tmp_path):
    path = tmp_path / "red.npy"
    np.save(path, RED)
    return path


def one_line_error(result, prefix: str) -> str:
    lines = result.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(prefix), result.err
    return lines[0]


# ---------------------------------------------------------------- scan


def test_scan_finds_the_daemon_by_its_pid_and_asks_it(emulator, ara2_command):
    result = ara2_command("scan", "--json")
    assert result.status == 0, result.err
    [proxy] = [p for p in result.document["proxies"] if p["pid"] == emulator.pid]
    assert f"unix:{emulator.socket_path}" in proxy["addresses"]
    assert f"tcp:{emulator.host}:{emulator.port}" in proxy["addresses"]
    assert proxy["config"] == str(emulator.config_path)
    connection = proxy["connection"]
    assert connection["versions"]["proxy"] == "2.4.0.0" and connection["inflight"] == 0
    assert [e["state"] for e in connection["endpoints"]] == ["Idle", "Idle"]
    dram = connection["endpoints"][0]["dram"]
    assert dram["dram_size"] == dram["free_size"] + dram["dram_occupancy_size"] > 0
    text = ara2_command("scan")
    assert f"proxy pid {emulator.pid}" in text.out and "endpoint 1: Idle, DRAM" in text.out


@pytest.mark.parametrize("how", ["socket", "tcp", "config"])
def test_scan_asks_one_named_proxy(emulator, ara2_command, how):
    option = {"socket": ("--socket", emulator.socket_path), "tcp": ("--tcp", f"{emulator.host}:{emulator.port}"),
              "config": ("--config", emulator.config_path)}[how]
    result = ara2_command("scan", *option, "--json")
    assert result.status == 0, result.err
    [proxy] = result.document["proxies"]
    assert proxy["pid"] is None and proxy["errors"] == []
    assert proxy["connection"]["socket_type"] == ("tcp" if how == "tcp" else "unix")
    assert len(proxy["connection"]["endpoints"]) == 2


def test_scan_of_a_proxy_that_is_not_there_fails_in_one_line(ara2_command):
    result = ara2_command("scan", "--socket", MISSING_SOCKET, "--json")
    assert result.status == 1
    assert result.document["error"]["message"] == "the proxy did not answer"
    assert result.document["proxies"][0]["errors"][0].startswith("connect: ProxyError: ")
    one_line_error(result, "ara2 scan: error: the proxy did not answer")


def test_scan_reports_a_failing_query_and_goes_on(at, ara2_command, stand_in):
    stand_in.inject_status("dv_endpoint_check_status", 500, times=1)
    result = ara2_command("scan", *at, "--json")
    assert result.status == 0
    [proxy] = result.document["proxies"]
    assert proxy["errors"] == ["endpoint 0: HardwareError: Ara2 error: 500"]
    assert [e["state"] for e in proxy["connection"]["endpoints"]] == [None, "Idle"]


@pytest.mark.parametrize("reachable", [True, False], ids=["reachable", "not there"])
def test_scan_reports_the_proxy_ara2_socket_names_first(emulator, ara2_command, monkeypatch, reachable):
    socket = emulator.socket_path if reachable else MISSING_SOCKET
    monkeypatch.setenv("ARA2_SOCKET", socket)
    result = ara2_command("scan", "--json")
    named, *others = result.document["proxies"]
    assert f"unix:{socket}" in named["addresses"]
    # The discovered daemon is listed once: first when it is the one named.
    assert [p["pid"] for p in result.document["proxies"]].count(emulator.pid) == 1
    assert (named["pid"] == emulator.pid) == reachable
    if reachable:
        assert result.status == 0 and named["connection"]["address"] == f"unix:{socket}"
    else:
        assert result.status == 1 and named["connection"] is None
        assert result.document["error"]["message"] == f"the proxy $ARA2_SOCKET names (unix:{socket}) did not answer"
        [daemon] = [p for p in others if p["pid"] == emulator.pid]
        assert daemon["connection"] is not None


# ---------------------------------------------------------------- inspect


def test_inspect_reads_the_file_alone(colour_classifier_path, ara2_command):
    result = ara2_command("inspect", colour_classifier_path, "--no-device", "--json")
    assert result.status == 0, result.err
    document = result.document
    assert document["file"]["archive"] and document["file"]["has_metadata"]
    assert document["labels"] == ["red", "green", "blue"]
    assert document["metadata"]["deployment"]["name"] == "colour classifier"
    assert document["metadata"]["input"]["dimensions"] == [32, 32]
    assert document["device"] is None and "--no-device" in document["device_note"]


def test_inspect_describes_the_loaded_model(colour_classifier_path, at, ara2_command):
    result = ara2_command("inspect", colour_classifier_path, *at, "--endpoint", "1", "--json")
    assert result.status == 0, result.err
    device = result.document["device"]
    assert device["endpoint"] == 1
    [image] = device["inputs"]
    assert (image["layer_name"], image["shape"], image["bytes"], image["quant"]["qmode"]) == \
           ("image", [3, 32, 32], 3072, 9)
    scores, class_id = device["outputs"]
    assert (scores["dtype"], scores["quant"]["qn"], scores["layer_output_type"], scores["num_classes"]) == \
           ("int8", 0.015625, "Classification", 3)
    assert (class_id["dtype"], class_id["shape"]) == ("uint8", [1, 1, 1])
    text = ara2_command("inspect", colour_classifier_path, *at)
    assert "input 0: 'image'  3x32x32" in text.out and "(3 classes)" in text.out


def test_inspect_a_model_without_archive(emulated_model, ara2_command):
    path = emulated_model({"inputs": [{"shape": [1, 1, 4]}], "outputs": [{"shape": [1, 1, 4]}]})
    document = ara2_command("inspect", path, "--no-device", "--json").document
    assert (document["file"]["archive"], document["labels"], document["metadata"]) == (False, [], None)


def test_inspect_a_file_the_proxy_refuses(at, ara2_command, tmp_path):
    path = tmp_path / "not_a_model.dvm"
    path.write_bytes(b"\x00\x01 binary, but not a model")
    result = ara2_command("inspect", path, *at)
    assert result.status == 1
    assert one_line_error(result, "ara2 inspect: error: ") == (
        f"ara2 inspect: error: loading {path} on endpoint 0: ModelError: Ara2 error: 241 (--no-device shows what "
        "the file says without loading it)")
    assert ara2_command("inspect", path, "--no-device").status == 0


@pytest.mark.parametrize("command", ["inspect", "run", "bench"])
@pytest.mark.parametrize("name, content, what", [
    ("colour.yaml", "inputs:\n  - shape: [3, 32, 32]\n",
     "a model description (build the model with `ara2-emu-model {path} -o colour.dvm`)"),
    ("model.json", '{"inputs": []}', "a model description (build the model with `ara2-emu-model {path} -o model.dvm`)"),
    ("image.npy", None, "a NumPy array (.npy)"),
    ("notes.dvm", "a compiled model, honest\n\u00e9t\u00e9\n", "a text file"),
    ("empty.dvm", "", "an empty file"),
], ids=["yaml description", "json description", "npy", "text", "empty"])
def test_a_file_that_is_plainly_not_a_model_is_refused_before_any_proxy(ara2_command, stand_in, tmp_path, command,
                                                                       name, content, what):
    path = tmp_path / name
    if content is None:
        np.save(path, RED)
    else:
        path.write_text(content, encoding="utf-8")
    extra = ["--random"] if command == "run" else ["--no-device"] if command == "inspect" else []
    result = ara2_command(command, path, *extra, "--socket", MISSING_SOCKET)
    assert result.status == 1
    assert one_line_error(result, f"ara2 {command}: error: ") == (
        f"ara2 {command}: error: {path}: {what.format(path=path)}, not a compiled model")
    assert stand_in.call_count("dv_session_create_via_unix_socket") == 0


# ---------------------------------------------------------------- run


def test_run_classifies_and_saves_the_outputs(colour_classifier_path, red_image, at, ara2_command, tmp_path):
    out = tmp_path / "out"
    result = ara2_command("run", colour_classifier_path, "--input", red_image, *at, "-o", out, "--dequantize",
                          "--json")
    assert result.status == 0, result.err
    document = result.document
    assert [c["label"] for c in document["top_k"]["classes"]] == ["red", "blue", "green"]
    scores, class_id = document["outputs"]
    raw = np.load(scores["file"])
    assert raw.dtype == np.int8 and raw.shape == (3, 1, 1)
    np.testing.assert_array_equal(np.load(scores["dequantized_file"]), raw.astype(np.float32) * 0.015625)
    assert document["top_k"]["classes"][0]["score"] == float(raw.max()) * 0.015625
    assert np.load(class_id["file"]).ravel().tolist() == [0]
    assert sorted(p.name for p in out.iterdir()) == [
        "colour_classifier.output0.float32.npy", "colour_classifier.output0.npy",
        "colour_classifier.output1.float32.npy", "colour_classifier.output1.npy"]
    assert document["timing"]["run_time_us"] >= 0 and document["timing"]["call_us"] > 0


def test_run_takes_raw_bytes_and_prints_the_top_classes(colour_classifier_path, at, ara2_command, tmp_path):
    raw = tmp_path / "red.bin"
    raw.write_bytes(RED.tobytes())
    result = ara2_command("run", colour_classifier_path, "--input", raw, *at, "-o", tmp_path, "--top-k", "1")
    assert result.status == 0, result.err
    assert "top 1 (output 0, dequantized):\n  1. red " in result.out


@pytest.mark.parametrize("data, expected", [
    (np.zeros((3, 30, 32), np.uint8), "input 0 (image) takes 3072 bytes (3x32x32, one byte per element) but "
                                      "{path} holds 2880 bytes (uint8 array of shape (3, 30, 32))"),
    (RED.astype(np.float32), "takes 3072 bytes (3x32x32, one byte per element) but {path} holds 12288 bytes "
                             "(float32 array of shape (3, 32, 32))"),
])
def test_run_refuses_an_input_of_the_wrong_size(colour_classifier_path, at, ara2_command, tmp_path, data,
                                                 expected):
    path = tmp_path / "input.npy"
    np.save(path, data)
    result = ara2_command("run", colour_classifier_path, "--input", path, *at, "-o", tmp_path / "out")
    assert result.status == 1
    assert expected.format(path=path) in one_line_error(result, "ara2 run: error: ")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("argv, message", [
    (["--input", "{image}", "{image}"], "the model has 1 input(s) but 2 --input file(s) were given"),
    (["--input", "{missing}"], "cannot read input {missing}: No such file or directory"),
    (["--random", "--endpoint", "2"], "endpoint 2 out of range: the proxy has 2 endpoint(s), 0 to 1"),
])
def test_run_errors(colour_classifier_path, red_image, at, ara2_command, tmp_path, argv, message):
    names = {"image": red_image, "missing": tmp_path / "missing.npy"}
    result = ara2_command("run", colour_classifier_path, *[a.format(**names) for a in argv], *at, "-o", tmp_path)
    assert result.status == 1
    assert one_line_error(result, "ara2 run: error: ") == f"ara2 run: error: {message.format(**names)}"


def test_run_finds_the_proxy_through_ara2_socket(colour_classifier_path, emulator, ara2_command, tmp_path,
                                                monkeypatch):
    monkeypatch.setenv("ARA2_SOCKET", emulator.socket_path)
    result = ara2_command("run", colour_classifier_path, "--random", "-o", tmp_path, "--json")
    assert result.status == 0, result.err
    assert result.document["address"] == f"unix:{emulator.socket_path}"


# ---------------------------------------------------------------- every command


@pytest.mark.parametrize("command", ["inspect", "run", "bench"])
def test_missing_model_file_fails_before_any_connection(ara2_command, stand_in, command, tmp_path):
    extra = ["--random"] if command == "run" else []
    result = ara2_command(command, tmp_path / "none.dvm", *extra, "--socket", MISSING_SOCKET)
    assert result.status == 1
    assert one_line_error(result, f"ara2 {command}: error: ").endswith("none.dvm: no such file")
    assert stand_in.call_count("dv_session_create_via_unix_socket") == 0


@pytest.mark.parametrize("command", ["inspect", "run", "bench"])
def test_no_proxy_running_is_one_clear_line(colour_classifier_path, ara2_command, command, monkeypatch):
    monkeypatch.setenv("ARA2_SOCKET", MISSING_SOCKET)  # names a proxy, so inspect may not skip it
    result = ara2_command(command, colour_classifier_path, "--random" if command == "run" else "--json")
    assert result.status == 1
    line = one_line_error(result, f"ara2 {command}: error: cannot connect to unix:{MISSING_SOCKET}: ProxyError: ")
    assert "ara2 scan" in line
    if command != "run":
        assert result.document["error"] == {"message": line.split(": error: ", 1)[1], "type": "ProxyError"}


@pytest.mark.parametrize("argv", [
    [], ["run", "{model}"], ["bench", "{model}", "--requests", "2"], ["scan", "--tcp", "localhost"],
    ["scan", "--socket", "a", "--tcp", "127.0.0.1:1"], ["bench", "{model}", "--time", "0"], ["nonsense"],
])
def test_usage_errors_exit_with_2(colour_classifier_path, ara2_command, argv):
    result = ara2_command(*[a.format(model=colour_classifier_path) for a in argv])
    assert result.status == 2
    assert result.out == "" and "Traceback" not in result.err


@pytest.mark.parametrize("where", ["before", "after"])
def test_json_is_taken_before_or_after_the_command(at, ara2_command, where):
    argv = ["--json", "scan", *at] if where == "before" else ["scan", *at, "--json"]
    assert ara2_command(*argv).document["command"] == "scan"


@pytest.mark.parametrize("debug", [False, True])
def test_traceback_only_with_debug(colour_classifier_path, ara2_child, debug):
    result = ara2_child(*(["--debug"] if debug else []), "inspect", colour_classifier_path, "--config",
                        "/nonexistent.yaml")
    assert result.status == 1
    assert ("Traceback" in result.err) == debug


def test_version_with_and_without_a_proxy(emulator, ara2_command, monkeypatch):
    monkeypatch.setenv("ARA2_SOCKET", emulator.socket_path)
    document = ara2_command("--version", "--json").document
    assert document["module_version"] == ara2.__version__ and document["components"]["proxy"] == "2.4.0.0"
    monkeypatch.setenv("ARA2_SOCKET", MISSING_SOCKET)
    result = ara2_command("--version")
    assert (result.status, result.out) == (0, f"ara2 (tallowind_ara2) {ara2.__version__}\n")


def test_help_shows_the_path_from_scan_to_bench(ara2_child):
    result = ara2_child("--help")
    assert result.status == 0
    steps = [line.split()[1] for line in result.out.splitlines() if line.startswith("  ara2 ")]
    assert steps == ["scan", "inspect", "run", "bench"]


def test_only_the_public_api_is_used():
    """Every tallowind_ara2 attribute the tool names is an exported one, or
    one of the described additions (public module attributes, in the stub)."""
    surface = generator.load(REPO / "src" / "python" / "surface" / "surface.py")
    public = {attribute.name for attribute in surface.attributes}
    used = set()
    for source in (REPO / "cli" / "ara2_cli").glob("*.py"):
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == "ara2":
                used.add(node.attr)
    allowed = set(ara2.__all__) | public | {"__file__"}  # the module's own file: where doctor finds its build
    assert used and used <= allowed, sorted(used - allowed)


@pytest.mark.parametrize("command", ["inspect", "run", "bench"])
def test_a_relative_model_path_is_relative_to_the_caller(colour_classifier_path, at, ara2_command, tmp_path,
                                                         monkeypatch, command):
    # The proxy opens the file itself, from its own working directory.
    monkeypatch.chdir(colour_classifier_path.parent)
    extra = {"inspect": [], "run": ["--random", "-o", tmp_path], "bench": ["--iterations", "3"]}[command]
    result = ara2_command(command, colour_classifier_path.name, *extra, *at, "--json")
    assert result.status == 0, result.err


@pytest.mark.parametrize("unbuffered", ["1", None], ids=["unbuffered", "buffered"])
def test_a_reader_that_goes_away_is_no_failure_to_report(colour_classifier_path, monkeypatch, unbuffered):
    # A buffered stdout meets the closed pipe only when it is flushed.
    if unbuffered is None:
        monkeypatch.delenv("PYTHONUNBUFFERED", raising=False)
    else:
        monkeypatch.setenv("PYTHONUNBUFFERED", unbuffered)
    child = child_command("inspect", colour_classifier_path, "--no-device", stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    child.stdout.close()  # as `ara2 inspect ... | head -0` would
    assert child.wait(timeout=60) == 1
    assert child.stderr.read() == b""


# ---------------------------------------------------------------- run --image, bench --image

BGR_RED = (40, 20, 200)


@pytest.fixture
def red_frame(tmp_path):
    """A 50 x 70 BGR frame, red: any size, the model resizes it."""
    path = tmp_path / "red.npy"
    np.save(path, np.broadcast_to(np.array(BGR_RED, np.uint8), (50, 70, 3)).copy())
    return path


@pytest.fixture
def detector(emulated_model):
    """A 3 x 16 x 16 detector whose two boxes and their scores are the first
    bytes of its input (so of the image's blue plane): its outputs are what
    the image says."""
    return emulated_model({
        "inputs": [{"name": "images", "shape": [3, 16, 16]}],
        "outputs": [
            {"name": "boxes", "shape": [1, 2, 4], "layer_output_type": "detection"},
            {"name": "scores", "shape": [1, 2, 3], "qn": 1 / 255, "layer_output_type": "detection",
             "num_classes": 3},
        ],
        "program": {"ops": [
            {"op": "copy", "src": "input:0", "dst": "output:0", "length": 8},
            {"op": "copy", "src": "input:0", "dst": "output:1", "src_offset": 8, "length": 6},
        ]},
        "labels": ["cat", "dog", "bird"],
    }, name="detector")


def detector_frame(tmp_path):
    image = np.zeros((16, 16, 3), np.uint8)
    # (cx, cy, w, h) twice, almost the same box, then three scores each: the dog twice.
    image[0, :14, 0] = [8, 8, 4, 4, 9, 8, 4, 4, 10, 200, 30, 10, 180, 30]
    path = tmp_path / "frame.npy"
    np.save(path, image)
    return path


def test_run_classifies_an_image_of_any_size(colour_classifier_path, red_frame, at, ara2_command, tmp_path):
    result = ara2_command("run", colour_classifier_path, "--image", red_frame, *at, "-o", tmp_path, "--json")
    assert result.status == 0, result.err
    document = result.document
    assert document["top_k"]["classes"][0]["label"] == "red"
    assert document["image"]["width"] == 70 and document["image"]["scale"] == pytest.approx([32 / 70, 32 / 50])
    assert document["detections"] is None
    text = ara2_command("run", colour_classifier_path, "--image", red_frame, *at, "-o", tmp_path)
    assert "input 0: image" in text.out and "1. red" in text.out


def test_an_rgb_array_is_read_as_rgb(colour_classifier_path, tmp_path, at, ara2_command):
    path = tmp_path / "rgb.npy"
    np.save(path, np.broadcast_to(np.array(BGR_RED[::-1], np.uint8), (8, 8, 3)).copy())
    result = ara2_command("run", colour_classifier_path, "--image", path, "--color", "rgb", *at, "-o", tmp_path,
                          "--json")
    assert result.document["top_k"]["classes"][0]["label"] == "red"


def test_run_prints_the_detections_in_image_pixels(detector, at, ara2_command, tmp_path):
    result = ara2_command("run", detector, "--image", detector_frame(tmp_path), *at, "-o", tmp_path, "--json")
    assert result.status == 0, result.err
    [found] = result.document["detections"]["detections"]
    assert found["label"] == "dog" and found["score"] == pytest.approx(200 / 255)
    assert found["box"] == [6.0, 6.0, 10.0, 10.0]
    text = ara2_command("run", detector, "--image", detector_frame(tmp_path), *at, "-o", tmp_path)
    assert "1 detection(s)" in text.out and "dog" in text.out


def test_images_that_cannot_be_read_fail_in_one_line(colour_classifier_path, at, ara2_command, tmp_path):
    floats = tmp_path / "floats.npy"
    np.save(floats, np.zeros((4, 4, 3), np.float32))
    result = ara2_command("run", colour_classifier_path, "--image", floats, *at, "-o", tmp_path)
    assert result.status == 1 and "is a float32 array; images are uint8" in result.err
    missing = ara2_command("run", colour_classifier_path, "--image", tmp_path / "none.png", *at)
    assert missing.status == 1 and "cannot read image" in missing.err


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_bench_writes_the_image_before_every_inference(colour_classifier_path, red_frame, at, ara2_command,
                                                        mode):
    result = ara2_command("bench", colour_classifier_path, "--image", red_frame, "--mode", mode, "--iterations",
                          "20", "--warmup", "2", *at, "--json")
    assert result.status == 0, result.err
    assert result.document["count"] == 20 and result.document["image"] == str(red_frame)


@pytest.mark.parametrize("argv", [["run", "{model}", "--random"], ["inspect", "{model}"]], ids=["run", "inspect"])
@pytest.mark.parametrize("named", [True, False], ids=["ARA2_SOCKET", "discovered"])
def test_a_client_library_that_does_not_load_is_reported_with_its_advice(colour_classifier_path, emulator, argv,
                                                                          named, tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "ARA2_CLIENT_LIBRARY_DIR",
                                                           "ARA2_SOCKET")}
    if named:
        env["ARA2_SOCKET"] = emulator.socket_path
    child = subprocess.run([sys.executable, "-m", "ara2_cli", *[a.format(model=colour_classifier_path) for a in argv],
                            "--json"], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert child.returncode == 1, child.stdout + child.stderr
    error = json.loads(child.stdout)["error"]
    assert error["type"] == "LibraryError"
    assert error["message"].startswith("loading the client library to reach ")
    assert "could not load the ARA-2 client library" in error["message"] and "proxy running" not in error["message"]
    [note] = error["notes"]
    assert "ARA2_CLIENT_LIBRARY_DIR" in note
    line, *notes = child.stderr.splitlines()
    assert line == f"ara2 {argv[0]}: error: {error['message']}"
    assert notes == ["  " + text for text in note.splitlines()]
