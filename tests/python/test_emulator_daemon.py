"""The emulator daemon as a process: command line, configuration errors,
addresses, shutdown, several clients, garbage on the wire, and cleanup
after clients that go away."""
from __future__ import annotations

import contextlib
import ctypes
import json
import os
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from ara2_emulator.daemon import Daemon, DaemonError, find_executable
from ara2_emulator.model_builder import build_model
from fixtures.emulator import DvApi, DvStatus

MAGIC = 0x554D4541
HELLO = struct.pack("<III", MAGIC, 1, 8) + struct.pack("<II", 1, os.getpid())
COPY = {
    "inputs": [{"shape": [1, 4, 4]}],
    "outputs": [{"shape": [1, 4, 4]}],
    "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_daemon(config_text: str, tmp_path, *args: str) -> subprocess.CompletedProcess:
    path = tmp_path / "proxy.yaml"
    path.write_text(config_text)
    return subprocess.run([str(find_executable()), *(args or ("-c", str(path)))], capture_output=True,
                          text=True, timeout=30)


def recv_exact(sock: socket.socket, size: int) -> bytes:
    data = bytearray(size)
    view, got = memoryview(data), 0
    while got < size:
        n = sock.recv_into(view[got:])
        if not n:
            raise ConnectionError("closed")
        got += n
    return bytes(data)


def recv_frame(sock: socket.socket) -> tuple[int, bytes]:
    magic, status, length = struct.unpack("<III", recv_exact(sock, 12))
    assert magic == MAGIC
    return status, recv_exact(sock, length)


@pytest.fixture
def api(stand_in):
    return DvApi(stand_in.handle)


@pytest.mark.parametrize("form", [["-c", "{}"], ["--config", "{}"], ["--config={}"]])
def test_command_line_forms_and_process_name(tmp_path, form):
    sock = tmp_path / "p.sock"
    config = tmp_path / "proxy.yaml"
    config.write_text(f"proxy:\n  interface_type: socket\n  interface_socket_file: [{sock}]\n")
    log = open(tmp_path / "log", "w")
    process = subprocess.Popen([str(find_executable()), *[a.format(config) for a in form]], stderr=log)
    try:
        while "ready" not in (tmp_path / "log").read_text():
            assert process.poll() is None, (tmp_path / "log").read_text()
            time.sleep(0.01)
        assert open(f"/proc/{process.pid}/comm").read().strip() == "kinara_main"
        assert sock.is_socket()
    finally:
        process.send_signal(signal.SIGINT)
        assert process.wait(30) == 0
        log.close()
    assert not sock.exists()


def test_sigterm_removes_every_socket_file_and_exits_zero(tmp_path):
    sockets = [tmp_path / "a.sock", tmp_path / "b.sock"]
    daemon = Daemon({"proxy": {"interface_socket_file": [str(s) for s in sockets]},
                     "emulator": {"listen": ["tcp:127.0.0.1:0"]}}, workdir=tmp_path)
    daemon.start()
    assert all(s.is_socket() for s in sockets)
    assert len(daemon.tcp_addresses) == 1
    assert daemon.stop() == 0
    assert not any(s.exists() for s in sockets)
    assert "stopped" in daemon.log_text()


@pytest.mark.parametrize("config, message", [
    ("", "empty"),
    ("emulator: {}\n", "missing field `proxy`"),
    ("proxy: {}\n", "no address to listen on"),
    ("proxy: {interface_type: pipe}\n", 'unknown interface_type "PIPE"'),
    ("proxy: {interface_type: NAMED_PIPE}\n", "NAMED_PIPE is not supported"),
    ("proxy: {interface_type: IPV4, interface_ip_address: [localhost], interface_port: [5000]}\n",
     '"localhost" is not a dotted-quad IPv4 address'),
    ("proxy: {interface_type: IPV4, interface_ip_address: [127.0.0.1], interface_port: [70000]}\n",
     "interface_port entries must be an integer from 0 to 65535"),
    ("proxy: {interface_type: IPV4, interface_ip_address: [127.0.0.1, 127.0.0.2], interface_port: [1]}\n",
     "pair up one to one"),
    ("proxy: {interface_socket_file: [/tmp/x.sock], interface_socket_file: [/tmp/y.sock]}\n",
     "duplicate key interface_socket_file"),
    ("proxy: {interface_socket_file: /tmp/x.sock}\n", "interface_socket_file must be a list"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\nemulator: {endpoint: 2}\n", "unknown key emulator.endpoint"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\nemulator: {endpoints: 0}\n", "emulator.endpoints"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\nemulator: {endpoints: 2, endpoint_state: [1]}\n",
     "lists 1 states for 2 endpoints"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\nemulator: {versions: {proxy: 1.2.3}}\n",
     "four numbers"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\nemulator: {listen: [udp:1.2.3.4:5]}\n",
     "emulator.listen entries"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\nemulator: {faults: {call_status: {open: 3}}}\n",
     "dv_* function names"),
    ("proxy: [a\n", "line"),
    ("proxy: {interface_socket_file: [/tmp/x.sock]}\n---\nproxy: {}\n", "more than one YAML document"),
    ("base: &b {interface_socket_file: [/tmp/x.sock]}\nproxy: *b\n", "aliases are not supported"),
])
def test_bad_configurations_exit_non_zero_with_a_clear_message(tmp_path, config, message):
    result = run_daemon(config, tmp_path)
    assert result.returncode != 0
    assert message in result.stderr
    assert "is not a usable configuration" in result.stderr


def test_missing_configuration_file_and_missing_option(tmp_path):
    result = subprocess.run([str(find_executable()), "-c", str(tmp_path / "absent.yaml")],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode != 0 and "could not read" in result.stderr
    result = subprocess.run([str(find_executable())], capture_output=True, text=True, timeout=30)
    assert result.returncode != 0 and "usage:" in result.stderr


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_address_in_use_is_refused(emulator, tmp_path, transport):
    if transport == "unix":
        config = f"proxy: {{interface_socket_file: [{emulator.socket_path}]}}\n"
    else:
        config = (f"proxy: {{interface_type: IPV4, interface_ip_address: [{emulator.host}], "
                  f"interface_port: [{emulator.port}]}}\n")
    result = run_daemon(config, tmp_path)
    assert result.returncode != 0
    assert "already in use" in result.stderr
    assert os.path.exists(emulator.socket_path)  # the running daemon keeps its socket


def test_stale_socket_file_is_taken_over(tmp_path, api):
    path = tmp_path / "stale.sock"
    leftover = socket.socket(socket.AF_UNIX)
    leftover.bind(str(path))
    leftover.close()  # the file stays, nobody listens
    with Daemon({"proxy": {"interface_socket_file": [str(path)]}}, workdir=tmp_path) as daemon:
        session = api.open_unix(daemon.socket_path)
        api.close(session)


def test_path_that_is_not_a_socket_is_refused(tmp_path):
    path = tmp_path / "regular"
    path.write_text("keep me")
    result = run_daemon(f"proxy: {{interface_socket_file: [{path}]}}\n", tmp_path)
    assert result.returncode != 0 and "not a socket" in result.stderr
    assert path.read_text() == "keep me"


def test_ipv4_configuration_listens_on_each_declared_pair(tmp_path, api):
    ports = [free_port(), free_port()]
    config = {"proxy": {"interface_type": "ipv4", "interface_ip_address": ["127.0.0.1", "127.0.0.1"],
                        "interface_port": ports}}
    with Daemon(config, workdir=tmp_path) as daemon:
        assert daemon.tcp_addresses == [("127.0.0.1", p) for p in ports]
        for port in ports:
            api.close(api.open_tcp("127.0.0.1", port))


def test_one_log_line_per_connection(emulator, api):
    def closed() -> int:
        return emulator.daemon.log_text().count(" closed")

    before_open = emulator.daemon.log_text().count("from tcp:127.0.0.1:")
    before_closed = closed()
    api.close(api.open_tcp(emulator.host, emulator.port))
    deadline = time.monotonic() + 10
    while closed() == before_closed:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    assert emulator.daemon.log_text().count("from tcp:127.0.0.1:") == before_open + 1


# --------------------------------------------------------------- clients


def test_several_clients_run_inference_at_once(emulator, api, tmp_path):
    model_path = tmp_path / "copy.dvm"
    build_model({**COPY, "faults": {"latency_us": 2000}}, model_path)
    errors = []

    def client(index: int) -> None:
        try:
            session = api.open_unix(emulator.socket_path) if index % 2 else api.open_tcp(emulator.host, emulator.port)
            array, _ = api.endpoints(session)
            endpoint = array + 32 * (index % 2)
            model = api.load(session, endpoint, model_path, b"copy")
            for round_ in range(5):
                data = bytes((index * 31 + round_ + k) % 256 for k in range(16))
                src = (ctypes.c_uint8 * 16).from_buffer_copy(data)
                dst = (ctypes.c_uint8 * 16)()
                request = api.infer_sync(session, endpoint, model, [(ctypes.addressof(src), 16, 0)],
                                         [(ctypes.addressof(dst), 16, 0)], 10000)
                api.free(request)
                if bytes(dst) != data:
                    errors.append(f"client {index} round {round_}: {bytes(dst)!r}")
            api.unload(model)
            api.free_group(array)
            api.close(session)
        except Exception as error:  # reported below, threads cannot fail the test themselves
            errors.append(f"client {index}: {error!r}")

    threads = [threading.Thread(target=client, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def model_occupancy(api, socket_path) -> int:
    session = api.open_unix(socket_path)
    array, _ = api.endpoints(session)
    try:
        return api.dram(session, array)["model_occupancy_size"]
    finally:
        api.free_group(array)
        api.close(session)


def test_client_that_disconnects_has_its_models_unloaded(start_emulator, api, tmp_path):
    daemon = start_emulator({"emulator": {"endpoints": 1}})
    model_path = tmp_path / "slow.dvm"
    build_model({**COPY, "dram_bytes": 4096, "faults": {"latency_us": 100000}}, model_path)
    session = api.open_unix(daemon.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, model_path, b"slow")
    src, dst = (ctypes.c_uint8 * 16)(), (ctypes.c_uint8 * 16)()
    for _ in range(3):
        api.infer_async(session, array, model, [(ctypes.addressof(src), 16, 0)], [(ctypes.addressof(dst), 16, 0)])
    assert model_occupancy(api, daemon.socket_path) == 4096
    api.close(session)  # without unloading or freeing anything
    deadline = time.monotonic() + 20
    while model_occupancy(api, daemon.socket_path) != 0:
        assert time.monotonic() < deadline, daemon.log_text()
        time.sleep(0.02)
    assert "unloaded 1 model(s)" in daemon.log_text()


def test_sessions_do_not_see_each_others_handles(emulator, api, tmp_path):
    model_path = tmp_path / "m.dvm"
    build_model(COPY, model_path)
    first, second = api.open_unix(emulator.socket_path), api.open_tcp(emulator.host, emulator.port)
    a1, _ = api.endpoints(first)
    a2, _ = api.endpoints(second)
    model = api.load(first, a1, model_path, b"m")
    src, dst = (ctypes.c_uint8 * 16)(), (ctypes.c_uint8 * 16)()
    request = api.infer_async(first, a1, model, [(ctypes.addressof(src), 16, 0)], [(ctypes.addressof(dst), 16, 0)])
    try:
        assert api.inflight(second) == 0
        # Another connection naming that request gets an invalid-handle status.
        status, _ = raw_call(emulator, 11, struct.pack("<Q", api.request_id(request)))
        assert status == 22
        assert api.request_id(request) > 0
    finally:
        api.free(request)
        api.unload(model)
        api.free_group(a1)
        api.free_group(a2)
        api.close(first)
        api.close(second)


# --------------------------------------------------------------- garbage


def raw_call(emulator, op: int, body: bytes) -> tuple[int, bytes]:
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(10)
        sock.connect(emulator.socket_path)
        sock.sendall(HELLO)
        assert recv_frame(sock)[0] == 0
        sock.sendall(struct.pack("<III", MAGIC, op, len(body)) + body)
        return recv_frame(sock)


@pytest.mark.parametrize("op, body", [
    (3, b""),                                    # endpoint status without its endpoint
    (3, b"\x00" * 9),                            # with trailing bytes
    (3, struct.pack("<I", 99)),                  # endpoint that does not exist
    (5, struct.pack("<II", 0, 0xFFFFFFFF)),      # path longer than the message
    (5, struct.pack("<II", 0, 5000) + b"a" * 5000),  # path over the bound
    (8, struct.pack("<BIQIII", 0, 0, 1, 10, 100000, 0)),  # absurd tensor count
    (8, struct.pack("<BIQIII", 1, 0, 77, 10, 1, 0) + struct.pack("<IQ", 0, 1 << 40)),  # truncated data
    (9, struct.pack("<QI", 12345, 10)),          # wait for a request that does not exist
    (10**6, b"x"),                               # unknown operation
])
def test_malformed_requests_get_error_statuses_and_the_daemon_carries_on(emulator, api, op, body):
    status, answer = raw_call(emulator, op, body)
    assert status != 0 and answer == b""
    api.close(api.open_unix(emulator.socket_path))


@pytest.mark.parametrize("garbage", [
    b"\x00" * 64,                                               # bad magic
    struct.pack("<III", MAGIC, 1, 0xFFFFFFF0),                  # length over the bound
    struct.pack("<III", MAGIC, 1, 100) + b"short",              # truncated, then hang up
    b"\x41\x45",                                                # half a header
    bytes(range(256)) * 16,
])
def test_garbage_frames_close_only_that_connection(emulator, api, garbage):
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(10)
        sock.connect(emulator.socket_path)
        sock.sendall(garbage)
        sock.shutdown(socket.SHUT_WR)
        try:
            while sock.recv(4096):
                pass
        except ConnectionResetError:
            pass
    session = api.open_unix(emulator.socket_path)
    array, count = api.endpoints(session)
    api.free_group(array)
    api.close(session)
    assert count == 2


def test_requests_before_the_handshake_are_refused(emulator):
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(10)
        sock.connect(emulator.socket_path)
        sock.sendall(struct.pack("<III", MAGIC, 2, 0))
        status, _ = recv_frame(sock)
    assert 200 <= status <= 239


def test_handshake_with_another_protocol_version_is_refused(emulator):
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(10)
        sock.connect(emulator.socket_path)
        sock.sendall(struct.pack("<III", MAGIC, 1, 8) + struct.pack("<II", 99, 0))
        status, _ = recv_frame(sock)
    assert status == 202


def test_daemon_wide_call_status_fault(start_emulator, api):
    daemon = start_emulator({"emulator": {"faults": {"call_status": {"dv_endpoint_check_status": 133,
                                                                      "dv_session_create_via_unix_socket": 0}}}})
    session = api.open_unix(daemon.socket_path)
    array, _ = api.endpoints(session)
    try:
        with pytest.raises(DvStatus) as failure:
            api.check_status(session, array)
        assert failure.value.status == 133
    finally:
        api.free_group(array)
        api.close(session)


def test_daemon_refusing_the_session_reports_its_status(start_emulator, api):
    daemon = start_emulator({"emulator": {"faults": {"call_status": {"dv_session_create_via_unix_socket": 215}}}})
    with pytest.raises(DvStatus) as failure:
        api.open_unix(daemon.socket_path)
    assert failure.value.status == 215


def test_daemon_helper_reports_startup_failures(tmp_path):
    with pytest.raises(DaemonError, match="no address to listen on"):
        Daemon({"proxy": {}}, workdir=tmp_path).start()


def test_tensor_truncated_after_registration_fails_the_inference_not_the_daemon(emulator, api, tmp_path):
    model_path = tmp_path / "m.dvm"
    build_model(COPY, model_path)
    session = api.open_unix(emulator.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, model_path, b"m")
    fd = os.memfd_create("shrinking", os.MFD_CLOEXEC)
    try:
        os.ftruncate(fd, 4096)
        registration = api.register(session, fd, 4096)
        os.ftruncate(fd, 0)
        src = (ctypes.c_uint8 * 16)()
        request = api.infer_sync(session, array, model, [(ctypes.addressof(src), 16, 0)],
                                 [(registration, 16, 1)])
        assert ctypes.c_uint32.from_address(request + 56).value == 4
        api.free(request)
    finally:
        os.close(fd)
        api.unload(model)
        api.free_group(array)
        api.close(session)
    api.close(api.open_unix(emulator.socket_path))


def test_sigterm_while_a_client_waits_ends_the_wait_and_exits_zero(tmp_path, api):
    model_path = tmp_path / "slow.dvm"
    build_model({**COPY, "faults": {"latency_us": 60_000_000}}, model_path)
    daemon = Daemon({"proxy": {"interface_socket_file": [str(tmp_path / "p.sock")]}}, workdir=tmp_path).start()
    session = api.open_unix(daemon.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, model_path, b"slow")
    src, dst = (ctypes.c_uint8 * 16)(), (ctypes.c_uint8 * 16)()
    request = api.infer_async(session, array, model, [(ctypes.addressof(src), 16, 0)],
                              [(ctypes.addressof(dst), 16, 0)])
    outcome = []

    def wait() -> None:
        try:
            api.wait(session, request, 120_000)
            outcome.append(ctypes.c_uint32.from_address(request + 56).value)
        except DvStatus as failure:
            outcome.append(failure.status)

    waiter = threading.Thread(target=wait)
    waiter.start()
    while "connection 1" not in daemon.log_text():
        time.sleep(0.01)
    assert daemon.stop() == 0
    waiter.join()
    assert outcome in ([0], [1], [203])  # still pending, or the connection went away
    # Every later call reports the lost connection instead of hanging.
    with pytest.raises(DvStatus) as failure:
        api.inflight(session)
    assert failure.value.status == 203
    # Releasing still works locally and reports the lost connection.
    assert api.lib.dv_infer_free(ctypes.c_void_p(request)) == 203
    assert api.lib.dv_model_unload(ctypes.c_void_p(model)) == 203
    api.free_group(array)
    api.close(session)


def test_client_killed_while_waiting_is_cleaned_up(start_emulator, api, tmp_path, child_python):
    daemon = start_emulator({"emulator": {"endpoints": 1}})
    model_path = tmp_path / "slow.dvm"
    build_model({**COPY, "dram_bytes": 8192, "faults": {"latency_us": 60_000_000}}, model_path)
    code = f"""
import ctypes, os, threading
from fixtures.emulator import DvApi
from ara2_emulator.control import StandIn
api = DvApi(StandIn().handle)
session = api.open_unix({str(daemon.socket_path)!r})
array, _ = api.endpoints(session)
model = api.load(session, array, {str(model_path)!r}, b"slow")
buf = (ctypes.c_uint8 * 16)()
request = api.infer_async(session, array, model, [(ctypes.addressof(buf), 16, 0)], [(ctypes.addressof(buf), 16, 0)])
threading.Timer(0.3, lambda: os._exit(0)).start()
api.wait(session, request, 3_600_000)  # an hour: only the exit ends it
"""
    result = child_python(code)
    assert result.returncode == 0, result.stderr
    deadline = time.monotonic() + 30
    while model_occupancy(api, daemon.socket_path) != 0:
        assert time.monotonic() < deadline, daemon.log_text()
        time.sleep(0.05)
    assert "unloaded 1 model(s), cancelled 1 request(s)" in daemon.log_text()


def test_freeing_a_slow_request_gives_the_endpoint_back(start_emulator, api, tmp_path):
    daemon = start_emulator({"emulator": {"endpoints": 1}})
    slow_path, fast_path = tmp_path / "slow.dvm", tmp_path / "fast.dvm"
    build_model({**COPY, "faults": {"latency_us": 3_000_000_000}}, slow_path)  # 50 minutes
    build_model(COPY, fast_path)
    session = api.open_unix(daemon.socket_path)
    array, _ = api.endpoints(session)
    slow, fast = api.load(session, array, slow_path, b"slow"), api.load(session, array, fast_path, b"fast")
    src, dst = (ctypes.c_uint8 * 16)(*range(16)), (ctypes.c_uint8 * 16)()
    tensors = ([(ctypes.addressof(src), 16, 0)], [(ctypes.addressof(dst), 16, 0)])
    try:
        request = api.infer_async(session, array, slow, *tensors)
        while ctypes.c_uint32.from_address(api.wait(session, request, 10) + 56).value != 1:
            pass  # until the worker is busy with it
        api.free(request)
        # Queued behind the cancelled one on the same endpoint: only runs if it was let go.
        api.free(api.infer_sync(session, array, fast, *tensors, timeout_ms=60_000))
        assert bytes(dst) == bytes(range(16))
    finally:
        api.unload(slow)
        api.unload(fast)
        api.free_group(array)
        api.close(session)


def test_daemon_helper_can_restart_a_daemon(tmp_path, api):
    daemon = Daemon({"proxy": {"interface_socket_file": [str(tmp_path / "p.sock")]},
                     "emulator": {"listen": ["tcp:127.0.0.1:0"]}}, workdir=tmp_path)
    for _ in range(2):
        daemon.start()
        try:
            assert len(daemon.tcp_addresses) == 1 and len(daemon.socket_paths) == 1
            api.close(api.open_unix(daemon.socket_path))  # listening by the time start() returns
            api.close(api.open_tcp(*daemon.tcp_addresses[0]))
        finally:
            assert daemon.stop() == 0
    assert daemon.log_text().count("ready with") == 2


# --------------------------------------------------------------- hostile clients

MiB = 1 << 20
OP_ENDPOINT_LIST, OP_DRAM, OP_MODEL_LOAD, OP_REGISTER, OP_INFER, OP_REQUEST_ID = 2, 4, 5, 7, 8, 10
INLINE = 0


def frame(op: int, body: bytes = b"") -> bytes:
    return struct.pack("<III", MAGIC, op, len(body)) + body


def load_body(path) -> bytes:
    encoded = os.fsencode(path)
    return struct.pack("<II", 0, len(encoded)) + encoded + struct.pack("<I", 1) + b"m" + struct.pack("<I", 1)


def infer_body(model_id: int, inputs: list[bytes], output_sizes: list[int], sync: bool = True) -> bytes:
    body = struct.pack("<BIQIII", 0 if sync else 1, 0, model_id, 10_000, len(inputs), len(output_sizes))
    for data in inputs:
        body += struct.pack("<IQI", INLINE, len(data), len(data)) + data
    for size in output_sizes:
        body += struct.pack("<IQ", INLINE, size)
    return body


def daemon_memory(pid: int, field: str) -> int:
    """A VmRSS / VmHWM line of /proc/PID/status, in bytes."""
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


class RawClient:
    """A greeted connection speaking raw frames; every read times out."""

    def __init__(self, address, timeout: float = 10) -> None:
        """address: a socket path, or (host, port) for TCP."""
        self.sock = socket.socket(socket.AF_INET if isinstance(address, tuple) else socket.AF_UNIX)
        self.sock.settimeout(timeout)
        self.sock.connect(address if isinstance(address, tuple) else str(address))
        self.sock.sendall(HELLO)
        assert recv_frame(self.sock)[0] == 0

    def call(self, op: int, body: bytes = b"") -> tuple[int, bytes]:
        self.sock.sendall(frame(op, body))
        return recv_frame(self.sock)

    def load(self, path) -> int:
        status, body = self.call(OP_MODEL_LOAD, load_body(path))
        assert status == 0
        return struct.unpack("<Q", body)[0]

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> "RawClient":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def huge_sparse_model(path) -> None:
    """A model header announcing a 4 GiB body, in a sparse file that big."""
    with open(path, "wb") as f:
        f.write(b"ARA2EMU\0" + struct.pack("<III", 1, 0xFFFFFFFF, 0))
        f.truncate(20 + 0xFFFFFFFF)


@pytest.mark.parametrize("kind", ["directory", "fifo", "device", "huge_sparse_file"])
def test_model_paths_that_cannot_be_models_are_refused_and_others_stay_served(start_emulator, tmp_path, kind):
    daemon = start_emulator({})
    path = {"directory": tmp_path, "device": "/dev/zero"}.get(kind, tmp_path / "model.dvm")
    if kind == "fifo":
        os.mkfifo(path)  # nobody ever writes to it
    elif kind == "huge_sparse_file":
        huge_sparse_model(path)
    with RawClient(daemon.socket_path) as other, RawClient(daemon.socket_path) as client:
        status, _ = client.call(OP_MODEL_LOAD, load_body(path))
        assert status == 240
        assert other.call(OP_ENDPOINT_LIST)[0] == 0
        assert daemon_memory(daemon.pid, "VmHWM") < 256 * MiB
    assert daemon.stop() == 0


def test_client_library_refuses_a_model_path_that_is_a_directory_on_its_side(tmp_path, child_python):
    # Relative paths resolve against each process's directory: the daemon
    # finds a model where the client library finds a directory.
    daemon_dir, client_dir = tmp_path / "daemon", tmp_path / "client"
    daemon_dir.mkdir()
    (client_dir / "m.dvm").mkdir(parents=True)
    build_model(COPY, daemon_dir / "m.dvm")
    config = tmp_path / "proxy.yaml"
    config.write_text(f"proxy: {{interface_socket_file: [{tmp_path / 'p.sock'}]}}\n")
    with open(tmp_path / "log", "w") as log:
        process = subprocess.Popen([str(find_executable()), "-c", str(config)], cwd=daemon_dir, stderr=log)
    try:
        while "ready" not in (tmp_path / "log").read_text():
            assert process.poll() is None, (tmp_path / "log").read_text()
            time.sleep(0.01)
        result = child_python(f"""
import os
from fixtures.emulator import DvApi, DvStatus
from ara2_emulator.control import StandIn
api = DvApi(StandIn().handle)
session = api.open_unix({str(tmp_path / 'p.sock')!r})
array, _ = api.endpoints(session)
os.chdir({str(client_dir)!r})
try:
    api.load(session, array, "m.dvm", b"m")
except DvStatus as failure:
    print(failure.status, api.dram(session, array)["model_occupancy_size"])
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["241", "0"]  # refused, and unloaded from the daemon again
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(30) == 0


TWO_OUTPUTS = {
    "inputs": [{"shape": [1, 1, 16]}],
    "outputs": [{"shape": [1, 1, 16]}, {"shape": [1, 1, 16]}],
    "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"},
                        {"op": "copy", "src": "input:0", "dst": "output:1"}]},
}


@pytest.mark.parametrize("case, expected", [("unknown_model", 22), ("outputs_over_one_frame", 21)])
def test_inference_frames_are_checked_before_anything_is_allocated(start_emulator, tmp_path, case, expected):
    daemon = start_emulator({})
    build_model(TWO_OUTPUTS, tmp_path / "two.dvm")
    with RawClient(daemon.socket_path) as client:
        model_id = client.load(tmp_path / "two.dvm")
        if case == "unknown_model":
            request = frame(OP_INFER, infer_body(model_id + 99, [], [256 * MiB] * 20))
            assert len(request) == 277
        else:
            request = frame(OP_INFER, infer_body(model_id, [bytes(16)], [200 * MiB] * 2))
        peak = daemon_memory(daemon.pid, "VmHWM")
        client.sock.sendall(request)
        assert recv_frame(client.sock) == (expected, b"")
        assert daemon_memory(daemon.pid, "VmHWM") - peak < 64 * MiB
        assert client.call(OP_ENDPOINT_LIST)[0] == 0


def test_frame_headers_announcing_much_and_sending_nothing_cost_little(start_emulator, api):
    daemon = start_emulator({})
    before = daemon_memory(daemon.pid, "VmRSS")
    announcers = [RawClient(daemon.socket_path) for _ in range(8)]
    try:
        for client in announcers:
            client.sock.sendall(struct.pack("<III", MAGIC, OP_ENDPOINT_LIST, 256 * MiB))
        for _ in range(20):
            assert daemon_memory(daemon.pid, "VmRSS") - before < 64 * MiB
            time.sleep(0.05)
        session = api.open_unix(daemon.socket_path)  # others are served meanwhile
        array, count = api.endpoints(session)
        api.free_group(array)
        api.close(session)
        assert count == 1
    finally:
        for client in announcers:
            client.close()


def test_a_frame_over_the_client_cap_gets_a_status_and_the_connection_carries_on(start_emulator):
    daemon = start_emulator({"emulator": {"client_memory": MiB}})
    with RawClient(daemon.socket_path) as client:
        assert client.call(OP_ENDPOINT_LIST, bytes(2 * MiB)) == (205, b"")
        status, body = client.call(OP_ENDPOINT_LIST)
        assert status == 0 and struct.unpack("<I", body[:4])[0] == 1


def test_connections_beyond_the_client_cap_are_refused_and_the_others_served(start_emulator, api):
    daemon = start_emulator({"emulator": {"clients": 2}})
    with RawClient(daemon.socket_path) as first, RawClient(daemon.socket_path):
        with pytest.raises(DvStatus) as refused:
            api.open_unix(daemon.socket_path)
        assert 200 <= refused.value.status < 300
        assert first.call(OP_ENDPOINT_LIST)[0] == 0
    # A slot is free again once its connection has ended.
    deadline = time.monotonic() + 10
    while True:
        try:
            api.close(api.open_unix(daemon.socket_path))
            break
        except DvStatus:
            assert time.monotonic() < deadline
            time.sleep(0.05)


def test_clients_share_the_total_cap_and_kept_memory_gives_way(start_emulator):
    daemon = start_emulator({"emulator": {"client_memory": 2 * MiB, "total_memory": 3 * MiB}})
    with RawClient(daemon.socket_path) as first, RawClient(daemon.socket_path) as second:
        body = bytes(2 * MiB)
        # The socket takes little, so once this returns the daemon holds most of it.
        first.sock.sendall(struct.pack("<III", MAGIC, OP_ENDPOINT_LIST, len(body)) + body[: 3 * MiB // 2])
        assert second.call(OP_ENDPOINT_LIST, body) == (205, b"")
        first.sock.sendall(body[3 * MiB // 2:])
        assert recv_frame(first.sock) == (204, b"")  # served: only malformed (an unexpected body)
        # What the first client kept for its next frame gives way.
        assert second.call(OP_ENDPOINT_LIST, body) == (204, b"")


@pytest.mark.parametrize("state", ["in_the_middle_of_a_frame", "not_reading_its_answers"])
def test_sigterm_stops_the_daemon_whatever_a_connection_is_doing(start_emulator, tmp_path, state):
    daemon = start_emulator({})
    build_model({"inputs": [{"shape": [1, 1, MiB]}], "outputs": [{"shape": [1, 1, MiB]}],
                 "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]}}, tmp_path / "m.dvm")
    with RawClient(daemon.socket_path) as client:
        if state == "in_the_middle_of_a_frame":
            client.sock.sendall(struct.pack("<III", MAGIC, OP_ENDPOINT_LIST, MiB) + bytes(1000))
        else:
            model_id = client.load(tmp_path / "m.dvm")
            client.sock.settimeout(0.5)
            # Sends until the daemon, stuck sending answers nobody reads, reads no more.
            with contextlib.suppress(TimeoutError):
                for _ in range(8):
                    client.sock.sendall(frame(OP_INFER, infer_body(model_id, [bytes(MiB)], [MiB])))
        time.sleep(0.2)
        assert daemon.stop() == 0


def test_a_client_whose_memory_is_all_taken_can_still_wait_and_free(start_emulator, api, tmp_path):
    # The loaded model holds a few KiB of the total too.
    daemon = start_emulator({"emulator": {"client_memory": MiB, "total_memory": 3 * MiB // 2 + 16 * 1024}})
    size = 256 * 1024
    build_model({"inputs": [{"shape": [1, 1, size]}], "outputs": [{"shape": [1, 1, size]}],
                 "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]}}, tmp_path / "m.dvm")
    session = api.open_unix(daemon.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, tmp_path / "m.dvm", b"m")
    data = os.urandom(size)
    src, dst = (ctypes.c_uint8 * size).from_buffer_copy(data), (ctypes.c_uint8 * size)()
    try:
        # Its input and output: half a MiB of the daemon's memory.
        request = api.infer_async(session, array, model, [(ctypes.addressof(src), size, 0)],
                                  [(ctypes.addressof(dst), size, 0)])
        with RawClient(daemon.socket_path) as other:
            # Another client takes all the rest, what the first one kept included.
            other.sock.sendall(struct.pack("<III", MAGIC, OP_ENDPOINT_LIST, MiB) + bytes(MiB - 1))
            assert ctypes.c_uint32.from_address(api.wait(session, request, 10_000) + 56).value == 2
            api.free(request)
            assert bytes(dst) == data
            other.sock.sendall(b"\0")
            assert recv_frame(other.sock) == (204, b"")
    finally:
        api.unload(model)
        api.free_group(array)
        api.close(session)


def dram_statistics(client: RawClient) -> dict[str, int]:
    status, body = client.call(OP_DRAM, struct.pack("<I", 0))
    assert status == 0
    return dict(zip(("size", "used", "free", "reserved", "models", "tensors"), struct.unpack("<6Q", body)))


@pytest.mark.parametrize("size, status", [(2**63, 242), (2**64 - 64 * MiB, 242), (2**32 - 64 * MiB + 1, 242),
                                          (2**32 - 64 * MiB - 4096, 0)])
def test_registrations_are_checked_against_the_endpoint_dram(start_emulator, tmp_path, size, status):
    daemon = start_emulator({"emulator": {"listen": ["tcp:127.0.0.1:0"]}})
    build_model(COPY, tmp_path / "m.dvm")
    with RawClient(daemon.tcp_addresses[0]) as attacker, RawClient(daemon.socket_path) as other:
        assert attacker.call(OP_REGISTER, struct.pack("<QB", size, 0))[0] == status
        dram = dram_statistics(other)
        assert dram["used"] + dram["free"] == dram["size"] == 2**32
        assert dram["tensors"] == (size if status == 0 else 0)
        if status != 0:  # the others' loads still fit
            other.load(tmp_path / "m.dvm")


def test_a_missing_file_and_a_file_that_is_no_model_get_one_answer(start_emulator, tmp_path):
    daemon = start_emulator({"emulator": {"listen": ["tcp:127.0.0.1:0"]}})
    secret = tmp_path / "secret"
    secret.write_bytes(b"root:x:0:0\n")
    secret.chmod(0o600)
    with RawClient(daemon.tcp_addresses[0]) as prober:
        answers = {prober.call(OP_MODEL_LOAD, load_body(path))[0] for path in (secret, tmp_path / "missing")}
    assert answers == {240}


def test_a_path_that_is_no_regular_file_is_never_opened(start_emulator, tmp_path):
    libc = ctypes.CDLL(None, use_errno=True)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    IN_OPEN, IN_NONBLOCK = 0x20, 0o4000
    watcher = libc.inotify_init1(IN_NONBLOCK)
    assert watcher >= 0 and libc.inotify_add_watch(watcher, os.fsencode(fifo), IN_OPEN) >= 0
    try:
        daemon = start_emulator({})
        with RawClient(daemon.socket_path) as client:
            assert client.call(OP_MODEL_LOAD, load_body(fifo))[0] == 240
        with pytest.raises(BlockingIOError):
            os.read(watcher, 4096)  # no open event
    finally:
        os.close(watcher)


def open_fds(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


def assert_back_to_baseline(daemon, rss: int, fds: int, tmp_path) -> None:
    """A well-behaved client still runs inference, and once the others have
    gone the daemon's memory and descriptors are what they were."""
    build_model(COPY, tmp_path / "good.dvm")
    with RawClient(daemon.socket_path) as client:
        model_id = client.load(tmp_path / "good.dvm")
        status, body = client.call(OP_INFER, infer_body(model_id, [bytes(range(16))], [16]))
        assert status == 0 and struct.unpack_from("<I", body, 20)[0] == 2 and body.endswith(bytes(range(16)))
    deadline = time.monotonic() + 10
    while (daemon_memory(daemon.pid, "VmRSS") - rss > 4 * MiB or open_fds(daemon.pid) != fds) and \
            time.monotonic() < deadline:
        time.sleep(0.05)
    assert daemon_memory(daemon.pid, "VmRSS") - rss <= 4 * MiB
    assert open_fds(daemon.pid) == fds


@pytest.mark.not_sanitized("AddressSanitizer holds freed memory in quarantine, so the resident size grows")
def test_loaded_models_count_against_the_memory_caps(start_emulator, tmp_path):
    daemon = start_emulator({"emulator": {"client_memory": 16 * MiB, "total_memory": 24 * MiB}})
    build_model({**COPY, "inputs": [{"shape": [1, 4, 4], "layer_name": "x" * (4 * MiB)}]}, tmp_path / "big.dvm")
    rss, fds = daemon_memory(daemon.pid, "VmRSS"), open_fds(daemon.pid)
    with RawClient(daemon.socket_path) as first, RawClient(daemon.socket_path) as second:
        for client in (first, second):
            statuses = [client.call(OP_MODEL_LOAD, load_body(tmp_path / "big.dvm"))[0] for _ in range(8)]
            assert 0 < statuses.count(0) <= 3 and statuses[-1] == 205
        assert daemon_memory(daemon.pid, "VmRSS") - rss < 24 * MiB + 8 * MiB
    assert_back_to_baseline(daemon, rss, fds, tmp_path)


def test_program_scratch_counts_against_the_client_cap(start_emulator, tmp_path):
    daemon = start_emulator({"emulator": {"client_memory": 4 * MiB}})
    build_model({**COPY, "program": {"scratch": {"s": 8 * MiB}, "ops": [
        {"op": "copy", "src": "input:0", "dst": "s"}, {"op": "copy", "src": "s", "dst": "output:0", "length": 16}]}},
        tmp_path / "scratch.dvm")
    with RawClient(daemon.socket_path) as client:
        model_id = client.load(tmp_path / "scratch.dvm")
        status, body = client.call(OP_INFER, infer_body(model_id, [bytes(16)], [16]))
        assert status == 0 and struct.unpack_from("<I", body, 20)[0] == 4  # the run failed, the daemon did not
    assert "no memory left for the program's scratch buffers" in daemon.log_text()


def test_sigterm_stops_a_long_running_program(start_emulator, tmp_path):
    daemon = start_emulator({})
    # Some 30 s of copying, one op after another.
    ops = [{"op": "copy", "src": "a", "dst": "b"}, {"op": "copy", "src": "b", "dst": "a"}] * 50_000
    build_model({**COPY, "program": {"scratch": {"a": 4 * MiB, "b": 4 * MiB}, "ops": ops}}, tmp_path / "long.dvm")
    client = RawClient(daemon.socket_path)
    try:
        model_id = client.load(tmp_path / "long.dvm")
        client.sock.sendall(frame(OP_INFER, infer_body(model_id, [bytes(16)], [16])))
        time.sleep(0.5)  # running by now
        started = time.monotonic()
        assert daemon.stop() == 0
        assert time.monotonic() - started < 5
    finally:
        client.close()


def read_to_the_end(sock: socket.socket) -> None:
    """Returns once the daemon has closed the connection (a 201 frame at most before)."""
    sock.settimeout(5)
    with contextlib.suppress(ConnectionResetError):
        while sock.recv(4096):
            pass


def test_connections_that_never_complete_the_handshake_lock_nobody_out(start_emulator, tmp_path):
    daemon = start_emulator({"emulator": {"clients": 8, "handshake_timeout_ms": 500}})
    rss, fds = daemon_memory(daemon.pid, "VmRSS"), open_fds(daemon.pid)
    silent = []
    try:
        with RawClient(daemon.socket_path) as greeted:
            for _ in range(16):
                silent.append(socket.socket(socket.AF_UNIX))
                silent[-1].connect(str(daemon.socket_path))
            # The oldest silent connection makes room for a newcomer.
            with RawClient(daemon.socket_path) as newcomer:
                assert newcomer.call(OP_ENDPOINT_LIST)[0] == 0
            assert greeted.call(OP_ENDPOINT_LIST)[0] == 0
            for sock in silent:  # all gone after the deadline
                read_to_the_end(sock)
            assert greeted.call(OP_ENDPOINT_LIST)[0] == 0  # the deadline is for the handshake only
    finally:
        for sock in silent:
            sock.close()
    assert_back_to_baseline(daemon, rss, fds, tmp_path)


def test_refused_frames_cannot_flood_the_log(start_emulator, tmp_path):
    daemon = start_emulator({})
    before = daemon.log_path.stat().st_size
    with RawClient(daemon.socket_path) as client:
        refused = frame(3)  # an endpoint status without its endpoint: 204, each logged
        for _ in range(20):
            client.sock.sendall(refused * 1000)
            for _ in range(1000):
                assert recv_frame(client.sock) == (204, b"")
    assert daemon.log_path.stat().st_size - before < 8 * 1024  # not 20000 lines
    # The count is logged once the daemon has seen the connection end.
    deadline = time.monotonic() + 10
    while "lines of its log were left out" not in daemon.log_text() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert "lines of its log were left out" in daemon.log_text()
    assert_back_to_baseline(daemon, daemon_memory(daemon.pid, "VmRSS"), open_fds(daemon.pid), tmp_path)


def test_start_and_stop_do_not_trust_a_state_directory_others_may_write(start_emulator, tmp_path, capsys):
    from ara2_emulator import cli
    victim = start_emulator({})  # a daemon another user's forged record points at
    directory = tmp_path / "state"
    directory.mkdir()
    directory.chmod(0o777)
    (directory / "state.json").write_text(json.dumps({"pid": victim.pid, "socket": None, "tcp": [], "log": ""}))
    assert cli.main(["stop", "--state-dir", str(directory)]) == 1
    assert victim.process.poll() is None
    assert cli.main(["start", "--state-dir", str(directory)]) == 0
    try:
        assert oct(directory.stat().st_mode & 0o777) == "0o700"
        assert "private again" in capsys.readouterr().err
        assert json.loads((directory / "state.json").read_text())["pid"] != victim.pid
    finally:
        assert cli.main(["stop", "--state-dir", str(directory)]) == 0
    assert victim.process.poll() is None


def test_start_refuses_a_state_directory_that_is_a_link(tmp_path, capsys):
    from ara2_emulator import cli
    (tmp_path / "real").mkdir(mode=0o700)
    (tmp_path / "link").symlink_to(tmp_path / "real")
    assert cli.main(["start", "--state-dir", str(tmp_path / "link")]) == 1
    assert "is not a directory" in capsys.readouterr().err


@pytest.mark.parametrize("ending", ["crash", "sigkill"])
def test_a_daemon_started_from_python_ends_with_its_program(tmp_path, child_python, ending):
    result = child_python(f"""
import os, signal
from ara2_emulator.daemon import Daemon
daemon = Daemon({{}}, workdir={str(tmp_path)!r})
daemon.config_path.write_text("proxy: {{interface_socket_file: [{tmp_path / 'p.sock'}]}}\\n")
daemon.start()
print(daemon.pid, flush=True)
if {ending!r} == "crash":
    os._exit(3)  # no cleanup
os.kill(os.getpid(), signal.SIGKILL)
""")
    pid = int(result.stdout.split()[0])
    deadline = time.monotonic() + 10
    try:
        while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not os.path.exists(f"/proc/{pid}") or \
            open(f"/proc/{pid}/stat").read().rpartition(")")[2].split()[0] == "Z"
        assert not (tmp_path / "p.sock").exists()  # a clean shutdown
        assert "has ended" in (tmp_path / "ara2-emulator.log").read_text()
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
