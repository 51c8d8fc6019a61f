"""The programs in examples/ run against an emulator and print what their
headers promise."""
import os
import re
import signal
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

from ara2_emulator.model_builder import build_model, load_description
import tallowind_ara2 as ara2
from fixtures.paths import BUILD, REPO
from fixtures.sanitizer import preloaded

EXAMPLES = REPO / "examples"


@pytest.fixture(scope="module")
def colour_model(tmp_path_factory):
    path = tmp_path_factory.mktemp("examples") / "colour_classifier.dvm"
    build_model(load_description(EXAMPLES / "colour_classifier.yaml"), path)
    return path


def example(name, *args, socket, env=None, **popen):
    """examples/NAME started with ARGS, pointed at the daemon on `socket`, Ctrl-C delivered as from a terminal."""
    return subprocess.Popen([sys.executable, str(EXAMPLES / name), *map(str, args)],
                            env=dict(os.environ, ARA2_SOCKET=str(socket), **(env or {})),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL), **popen)


def run_example(name, *args, socket, env=None):
    child = example(name, *args, socket=socket, env=env)
    out, err = child.communicate(timeout=120)
    assert "Traceback" not in err, err
    return child.returncode, out


def png(path, rgb, size=8):
    """A solid-colour RGB PNG, written without an imaging library."""
    rows = b"".join(b"\0" + bytes(rgb) * size for _ in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def test_classify_images_names_each_file_and_reports_the_rest(emulator, colour_model, tmp_path):
    rng = np.random.default_rng(1)
    np.save(tmp_path / "crimson.npy", np.clip(np.array([200, 20, 40]) + rng.integers(-20, 21, (48, 64, 3)), 0, 255)
            .astype(np.uint8))
    np.save(tmp_path / "sky.npy", np.full((10, 10, 3), [70.0, 150.0, 235.0]))  # float pixels, smaller than the input
    np.save(tmp_path / "lime_rgba.npy", np.full((40, 40, 4), [40, 210, 30, 255], np.uint8))  # alpha dropped
    np.save(tmp_path / "flat.npy", np.zeros(12))
    png(tmp_path / "photo.png", (200, 30, 30))
    (tmp_path / "notes.txt").write_text("not an image")

    status, out = run_example("classify_images.py", colour_model, tmp_path, "--top-k", "2", socket=emulator.socket_path)

    lines = dict(line.split(": ", 1) for line in out.splitlines()[:-1])
    assert re.fullmatch(r"red 0\.\d+, \w+ -0\.\d+", lines["crimson.npy"]), out
    assert lines["sky.npy"].startswith("blue ") and lines["lime_rgba.npy"].startswith("green "), out
    assert lines["flat.npy"] == "skipped: expected a height x width x channels array, got shape (12,)"
    try:
        import PIL  # noqa: F401
        assert lines["photo.png"].startswith("red "), out
        classified = 4
    except ImportError:
        assert lines["photo.png"] == "skipped: Pillow is not installed (pip install pillow)"
        classified = 3
    assert "notes.txt" not in out
    assert out.splitlines()[-1] == f"classified {classified} of 5 files"
    assert status == (0 if classified == 5 else 1)


def test_two_models_detect_the_band_and_name_its_colour(emulator):
    status, out = run_example("two_models.py", socket=emulator.socket_path)
    assert status == 0, out
    lines = out.splitlines()
    assert re.fullmatch(r"detector on endpoint 0 Model\(n_inputs=1, n_outputs=1\), "
                        r"classifier on endpoint 1 Model\(n_inputs=1, n_outputs=2\)", lines[0])
    frames = [re.fullmatch(r"frame (\d): band (\d) of 4, colour \([\d., ]+\) -> (\w+) \+0\.\d+ \(as expected\)", line)
              for line in lines[1:5]]
    assert all(frames), out
    assert [(f.group(2), f.group(3)) for f in frames] == [("1", "red"), ("3", "green"), ("0", "blue"), ("2", "red")]
    assert lines[5:] == ["4 of 4 frames as expected"]


@pytest.mark.parametrize("endpoints", [1, 2, 4])
def test_pipelined_stream_matches_run_on_every_frame(start_emulator, colour_model, endpoints):
    daemon = start_emulator({"emulator": {"endpoints": 4}})
    status, out = run_example("pipelined_stream.py", colour_model, "--frames", 1500, "--endpoints", endpoints,
                              "--requests", 3, socket=daemon.socket_path)
    assert status == 0, out
    lines = out.splitlines()
    assert lines[0] == f"pipeline over {endpoints} endpoint(s), {3 * endpoints} frames in flight at most"
    shown = [re.fullmatch(r"frame (\d) \((\w+)\) -> (\w+) on endpoint (\d)", line) for line in lines[1:7]]
    assert all(shown), out
    assert [int(m.group(1)) for m in shown] == list(range(6))
    assert all(m.group(2) == m.group(3) for m in shown)
    assert [int(m.group(4)) for m in shown] == [n % endpoints for n in range(6)]  # frames go round the endpoints
    assert lines[7:7 + endpoints] == [f"endpoint {e}: {len(range(e, 1500, endpoints))} frames" for e in range(endpoints)]
    assert re.fullmatch(r"1500 frames in [\d.]+ s \([\d,]+ frames/s\); 1500 classified as the colour they were made of",
                        lines[7 + endpoints]), out
    assert lines[8 + endpoints:] == ["1500 of 1500 frames match run()"]


@pytest.fixture
def private_daemon(start_emulator):
    """Two endpoints nobody else uses, so that their DRAM figures are known."""
    return start_emulator({"emulator": {"endpoints": 2, "listen": ["tcp:127.0.0.1:0"]}})


@pytest.mark.parametrize("where", ["socket", "tcp"])
def test_monitor_reports_each_endpoint_every_round(private_daemon, colour_model, where):
    host, port = private_daemon.tcp_addresses[0]
    name = f"unix:{private_daemon.socket_path}" if where == "socket" else f"tcp:{host}:{port}"
    with ara2.Session.create_via_unix_socket(private_daemon.socket_path) as session, \
            session.list_endpoints()[1].load_model(colour_model):
        status, out = run_example("monitor.py", f"--{where}", name.partition(":")[2], "--count", "2",
                                  "--interval", "0.05", socket=private_daemon.socket_path)
    assert status == 0, out
    rounds = re.findall(r"^\d\d:\d\d:\d\d\n(.*)\n  endpoint 0: (.*)\n  endpoint 1: (.*)$", out, re.M)
    assert [shown for shown, _, _ in rounds] == [name, name], out
    for _, first, second in rounds:
        assert re.fullmatch(r"Idle, DRAM [\d.]+ of 4096\.0 MiB free, models 0 bytes, tensors 0 bytes", first)
        assert re.fullmatch(r"Idle, DRAM [\d.]+ of 4096\.0 MiB free, models [1-9]\d* bytes, tensors 0 bytes", second)
    assert out.splitlines()[-1] == "stopped after 2 rounds"


def test_monitor_finds_the_proxy_and_stops_cleanly_on_ctrl_c(emulator):
    child = example("monitor.py", "--pid", emulator.pid, "--interval", "0.1", socket=emulator.socket_path)
    try:
        first = [child.stdout.readline() for _ in range(5)]  # a round of four lines, then the next begins
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert first[1] == f"unix:{emulator.socket_path} (pid {emulator.pid})\n", first
    assert child.returncode == 0 and "Traceback" not in err, err
    assert re.fullmatch(r"stopped after [1-9]\d* rounds", out.splitlines()[-1])


DMA_INTERPOSER = BUILD / "tests" / "interpose" / "libdma_heap_interposer.so"


@pytest.mark.parametrize("memory", ["default", "dma"])
def test_zero_copy_writes_and_reads_through_the_descriptors(emulator, colour_model, tmp_path, memory):
    env, log = {}, tmp_path / "dma.log"
    if memory == "dma":  # DMA heaps served from memfds, every cache sync logged
        if not DMA_INTERPOSER.exists():
            pytest.skip("the DMA heap interposer is not built")
        env = {"LD_PRELOAD": preloaded(DMA_INTERPOSER), "TALLOWIND_TEST_DMA_LOG": str(log)}
    status, out = run_example("zero_copy.py", colour_model, socket=emulator.socket_path, env=env)
    assert status == 0, out
    used = re.search(r"^tensors: (\w+)$", out, re.M).group(1)
    assert used == "dma" if memory == "dma" else used in ("dma", "shm")
    for colour in ("red", "green", "blue"):
        assert re.search(rf"^{colour}: wrote 3072 bytes through the input descriptor -> {colour} \(scores \[", out, re.M)
    assert out.splitlines()[-1] == "get_output_tensor agrees with the descriptors: 3 of 3"
    if memory == "dma":
        flags = re.findall(r"^sync ino=\d+ fd=\d+ flags=(\d)$", log.read_text(), re.M)
        # Three input writes and six output reads, each opened and closed; the rest is the module's own.
        assert (flags.count("2"), flags.count("6"), flags.count("1"), flags.count("5")) == (3, 3, 6, 6)
