"""discover(), Proxy and ProxyEndpoint against real processes: stand-in proxies
(a small script that names itself like the proxy and listens where told) and
the emulator's daemon."""
import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

import tallowind_ara2 as ara2

NOBODY = 65534

# Names itself through prctl(PR_SET_NAME), listens where its environment says,
# reports its TCP port and waits until its standard input closes.
FAKE_PROXY = textwrap.dedent(
    """
    import ctypes, json, os, socket, sys
    ctypes.CDLL(None).prctl(15, ctypes.c_char_p(os.environ["FAKE_COMM"].encode()), 0, 0, 0)
    held = [socket.socketpair()]  # open but not listening: never an endpoint
    port = None
    if os.environ.get("FAKE_UNIX"):
        s = socket.socket(socket.AF_UNIX)
        s.bind(os.environ["FAKE_UNIX"])
        s.listen()
        held.append(s)
    if os.environ.get("FAKE_TCP"):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen()
        port = s.getsockname()[1]
        held.append(s)
    print(json.dumps({"port": port}), flush=True)
    sys.stdin.read()
    """
)

# Runs discover() and reports what it saw, for runs under another user.
REPORT = textwrap.dedent(
    """
    import json, sys
    import tallowind_ara2 as ara2
    wanted = int(sys.argv[1])
    for proxy in ara2.discover():
        if proxy.pid != wanted:
            continue
        report = {"endpoints": [str(e) for e in proxy.endpoints],
                  "config": None if proxy.config is None else str(proxy.config),
                  "exe": None if proxy.exe is None else str(proxy.exe)}
        if not proxy.endpoints:
            try:
                proxy.connect()
                report["connect"] = "connected"
            except ara2.ProxyError as error:
                report["connect"] = str(error)
        print(json.dumps(report))
    """
)


@pytest.fixture
def shared_dir():
    """A scratch directory every user may read, unlike pytest's tmp_path."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="ara2-discovery-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


class Processes:
    def __init__(self, directory):
        self.directory = directory
        self.children = []

    def fake_proxy(self, comm="kinara_main", args=(), unix=None, tcp=False, cwd=None):
        script = self.directory / "fake_proxy_script.py"
        script.write_text(FAKE_PROXY)
        script.chmod(0o644)
        env = dict(os.environ, FAKE_COMM=comm, FAKE_UNIX=str(unix or ""), FAKE_TCP="1" if tcp else "")
        child = subprocess.Popen([sys.executable, str(script), *args], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, env=env, cwd=cwd or self.directory)
        self.children.append(child)
        child.tcp_port = json.loads(child.stdout.readline())["port"]
        return child

    def daemon(self, binary, config_text, args, cwd, wait_for):
        (cwd / "proxy.yaml").write_text(config_text)
        (cwd / "proxy.yaml").chmod(0o644)
        child = subprocess.Popen([str(binary), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.children.append(child)
        for _ in range(500):
            if child.poll() is not None:
                pytest.fail(f"the emulator exited: {child.stderr.read().decode(errors='replace')}")
            if _accepts(wait_for):
                return child
            time.sleep(0.02)
        pytest.fail("the emulator never started listening")

    def stop_all(self):
        for child in self.children:
            if child.stdin:
                child.stdin.close()
            if child.poll() is None:
                child.terminate()
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
            for stream in (child.stdout, child.stderr):
                if stream:
                    stream.close()


def _accepts(address):
    family = socket.AF_UNIX if isinstance(address, str) else socket.AF_INET
    with socket.socket(family) as probe:
        try:
            probe.connect(address)
            return True
        except OSError:
            return False


@pytest.fixture
def processes(shared_dir):
    procs = Processes(shared_dir)
    yield procs
    procs.stop_all()


@pytest.fixture
def emulator_binary(build_dir):
    binary = build_dir / "emulator" / "bin" / "ara2-emulator"
    if not binary.exists():
        pytest.skip("the emulator's daemon is not built")
    return binary


def found(pid):
    matches = [proxy for proxy in ara2.discover() if proxy.pid == pid]
    assert len(matches) <= 1
    return matches[0] if matches else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def as_nobody(pid, cwd):
    result = subprocess.run(
        ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
         sys.executable, "-c", REPORT, str(pid)],
        cwd=cwd, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    reports = [json.loads(line) for line in result.stdout.splitlines()]
    assert len(reports) == 1, result.stdout
    return reports[0]


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to own a proxy another user cannot inspect")


def test_listening_sockets_of_a_proxy_are_its_endpoints(processes, shared_dir):
    path = shared_dir / "proxy.sock"
    child = processes.fake_proxy(unix=path, tcp=True)
    proxy = found(child.pid)
    assert proxy is not None
    unix, tcp = proxy.endpoints
    assert (unix.kind, unix.path, unix.host, unix.port) == ("unix", path, None, None)
    assert isinstance(unix.path, pathlib.Path)
    assert (tcp.kind, tcp.path, tcp.host, tcp.port) == ("tcp", None, "127.0.0.1", child.tcp_port)
    assert str(unix) == f"unix:{path}"
    assert repr(tcp) == f"ProxyEndpoint(tcp:127.0.0.1:{child.tcp_port})"
    assert repr(proxy) == f"Proxy(pid={child.pid}, endpoints=[unix:{path}, tcp:127.0.0.1:{child.tcp_port}])"
    assert proxy.config is None
    assert proxy.exe == pathlib.Path(os.path.realpath(sys.executable))


def test_endpoints_is_a_new_list_of_new_objects_each_time(processes, shared_dir):
    proxy = found(processes.fake_proxy(unix=shared_dir / "p.sock").pid)
    first, second = proxy.endpoints, proxy.endpoints
    assert first is not second and first[0] is not second[0]
    first.clear()
    assert [str(e) for e in proxy.endpoints] == [f"unix:{shared_dir / 'p.sock'}"]


@pytest.mark.parametrize("comm", ["kinara_main2", "kinara", "Kinara_main"])
def test_only_the_exact_process_name_is_a_proxy(processes, comm):
    child = processes.fake_proxy(comm=comm, tcp=True)
    assert found(child.pid) is None


def test_proxies_come_in_pid_order(processes, shared_dir):
    children = [processes.fake_proxy(unix=shared_dir / f"{i}.sock") for i in range(3)]
    pids = [proxy.pid for proxy in ara2.discover()]
    assert pids == sorted(pids)
    assert set(child.pid for child in children) <= set(pids)


@pytest.mark.parametrize(
    "args, config",
    [
        (["-c", "/etc/a.yaml"], "/etc/a.yaml"),
        (["--config", "relative/b.yaml"], "relative/b.yaml"),
        (["--config=/etc/c d.yaml"], "/etc/c d.yaml"),
        (["-v", "", "-c", "/first", "--config=/second"], "/first"),
        (["-c"], None),
        (["--configure", "/x"], None),
        ([b"-c", b"/etc/caf\xe9.yaml"], os.fsdecode(b"/etc/caf\xe9.yaml")),
    ],
)
def test_the_configuration_option_is_read_from_the_command_line(processes, args, config):
    proxy = found(processes.fake_proxy(args=args, tcp=True).pid)
    assert proxy.config == (None if config is None else pathlib.Path(config))


def test_without_a_visible_socket_the_configuration_file_supplies_the_endpoints(processes, shared_dir):
    config = shared_dir / "declared.yaml"
    config.write_text("proxy:\n  interface_type: ipv4\n  interface_ip_address: [127.0.0.1, localhost]\n"
                      "  interface_port: [7000, 7001]\n")
    proxy = found(processes.fake_proxy(args=["--config", str(config)]).pid)
    assert [str(e) for e in proxy.endpoints] == ["tcp:127.0.0.1:7000"]


def test_a_proxy_without_endpoints_refuses_to_connect(processes):
    proxy = found(processes.fake_proxy(args=["-c", "/nonexistent/proxy.yaml"]).pid)
    assert proxy.endpoints == []
    with pytest.raises(ara2.ProxyError) as error:
        proxy.connect()
    assert error.value.args == (f"the proxy at pid {proxy.pid} exposes no endpoint this client can reach",)


@needs_root
def test_another_users_proxy_is_described_by_its_configuration_file(processes, shared_dir):
    # The file names a socket the process does not hold, so its endpoints can
    # only have come from the file.
    (shared_dir / "proxy.yaml").write_text("proxy:\n  interface_socket_file: [/run/declared.sock]\n")
    (shared_dir / "proxy.yaml").chmod(0o644)
    child = processes.fake_proxy(args=["-c", "proxy.yaml"], unix=shared_dir / "real.sock")
    assert [str(e) for e in found(child.pid).endpoints] == [f"unix:{shared_dir / 'real.sock'}"]
    report = as_nobody(child.pid, shared_dir)
    assert report["endpoints"] == ["unix:/run/declared.sock"]
    assert report["config"] == "proxy.yaml"
    assert report["exe"] is None


@needs_root
def test_another_users_proxy_without_configuration_option_has_no_endpoint(processes, shared_dir):
    child = processes.fake_proxy(unix=shared_dir / "real.sock", tcp=True)
    report = as_nobody(child.pid, shared_dir)
    assert report == {
        "endpoints": [],
        "config": None,
        "exe": None,
        "connect": f"the proxy at pid {child.pid} exposes no endpoint this client can reach",
    }


# --- the emulator's daemon ----------------------------------------------------


def test_emulator_on_a_unix_socket_is_found_and_connects(processes, shared_dir, emulator_binary):
    path = shared_dir / "emu.sock"
    daemon = processes.daemon(emulator_binary, f"proxy:\n  interface_socket_file: ['{path}']\n",
                              ["-c", "proxy.yaml"], shared_dir, str(path))
    proxy = found(daemon.pid)
    assert repr(proxy) == f"Proxy(pid={daemon.pid}, endpoints=[unix:{path}])"
    assert proxy.config == pathlib.Path("proxy.yaml")
    assert proxy.exe == emulator_binary.resolve()
    with proxy.connect() as session:
        assert session.socket_type == "unix"
        assert session.list_endpoints()
    with proxy.endpoints[0].connect() as session:
        assert session.socket_type == "unix"


def test_emulator_on_tcp_is_found_and_connects(processes, shared_dir, emulator_binary):
    port = free_port()
    config = f"proxy:\n  interface_type: IPV4\n  interface_ip_address: [127.0.0.1]\n  interface_port: [{port}]\n"
    daemon = processes.daemon(emulator_binary, config, [f"--config={shared_dir / 'proxy.yaml'}"], shared_dir,
                              ("127.0.0.1", port))
    proxy = found(daemon.pid)
    assert [str(e) for e in proxy.endpoints] == [f"tcp:127.0.0.1:{port}"]
    assert proxy.config == shared_dir / "proxy.yaml"
    with proxy.endpoints[0].connect() as session:
        assert session.socket_type == "tcp"
        assert session.list_endpoints()


def test_two_emulators_come_in_pid_order(processes, shared_dir, emulator_binary):
    daemons = []
    for name in ("one", "two"):
        directory = shared_dir / name
        directory.mkdir()
        path = directory / "emu.sock"
        daemons.append(processes.daemon(emulator_binary, f"proxy:\n  interface_socket_file: ['{path}']\n",
                                        ["-c", "proxy.yaml"], directory, str(path)))
    ours = [proxy.pid for proxy in ara2.discover() if proxy.pid in {d.pid for d in daemons}]
    assert ours == sorted(d.pid for d in daemons)


@needs_root
def test_root_owned_emulator_is_found_through_its_configuration_by_another_user(processes, shared_dir,
                                                                                emulator_binary):
    path = shared_dir / "emu.sock"
    daemon = processes.daemon(emulator_binary, f"proxy:\n  interface_socket_file: ['{path}']\n",
                              ["-c", "proxy.yaml"], shared_dir, str(path))
    report = as_nobody(daemon.pid, shared_dir)
    assert (report["endpoints"], report["config"], report["exe"]) == ([f"unix:{path}"], "proxy.yaml", None)


# --- the classes themselves -----------------------------------------------------


@pytest.mark.parametrize(
    "member, doc",
    [
        (ara2.Proxy.pid, "Process ID of the running proxy."),
        (ara2.Proxy.endpoints, "Where it accepts connections. Empty when neither reading its file\n"
                               "descriptors nor its configuration file was possible."),
        (ara2.Proxy.config, "The configuration file named on its command line, if it named one."),
        (ara2.Proxy.exe, "Its executable, if readable."),
        (ara2.Proxy.connect, "Open a session against this proxy's first endpoint."),
        (ara2.ProxyEndpoint.kind, 'Transport: ``"unix"`` or ``"tcp"``.'),
        (ara2.ProxyEndpoint.path, 'Socket path, for a ``"unix"`` endpoint; ``None`` otherwise.'),
        (ara2.ProxyEndpoint.host, 'IPv4 address, for a ``"tcp"`` endpoint; ``None`` otherwise.'),
        (ara2.ProxyEndpoint.port, 'TCP port, for a ``"tcp"`` endpoint; ``None`` otherwise.'),
        (ara2.ProxyEndpoint.connect, "Open a session against this endpoint."),
        (ara2.Proxy, "A running ARA-2 proxy found by :func:`discover`."),
    ],
)
def test_members_carry_their_documentation(member, doc):
    assert member.__doc__ == doc


def test_connect_methods_take_no_arguments(processes, shared_dir):
    proxy = found(processes.fake_proxy(unix=shared_dir / "p.sock").pid)
    for bound in (proxy.connect, proxy.endpoints[0].connect):
        assert bound.__text_signature__ == "($self)"
        with pytest.raises(TypeError):
            bound(1)
    with pytest.raises(TypeError):
        ara2.discover(1)


def test_the_shared_emulator_is_found_with_every_address_it_listens_on(emulator, stand_in):
    proxy = found(emulator.pid)
    assert [str(e) for e in proxy.endpoints] == [f"unix:{emulator.socket_path}",
                                                 f"tcp:{emulator.host}:{emulator.port}"]
    for endpoint, socket_type in zip(proxy.endpoints, ("unix", "tcp")):
        with endpoint.connect() as session:
            assert session.socket_type == socket_type
            assert len(session.list_endpoints()) == 2
