"""Session against the emulated proxy: constructors, queries, status errors,
closing, and the order in which native handles are released."""
import gc
import pathlib
import re

import pytest

import tallowind_ara2 as ara2
from fixtures.raising import raises_exactly

STATUS_CLASSES = [
    (1, ara2.Ara2Error), (99, ara2.Ara2Error), (100, ara2.HardwareError), (199, ara2.HardwareError),
    (200, ara2.ProxyError), (239, ara2.ProxyError), (240, ara2.ModelError), (299, ara2.ModelError),
    (300, ara2.LibraryError), (399, ara2.LibraryError), (400, ara2.ProxyError), (499, ara2.ProxyError),
    (500, ara2.HardwareError), (4294967295, ara2.HardwareError),
]


@pytest.fixture(params=["unix", "tcp"])
def open_session(request, emulator):
    if request.param == "unix":
        return lambda: ara2.Session.create_via_unix_socket(emulator.socket_path)
    return lambda: ara2.Session.create_via_tcp_ipv4_socket(emulator.host, emulator.port)


@pytest.fixture
def session(emulator, stand_in):
    s = ara2.Session.create_via_unix_socket(emulator.socket_path)
    yield s
    s.close()


def test_both_transports_open_a_session_with_its_socket_type(open_session, stand_in):
    s = open_session()
    kind = "unix" if stand_in.call_count("dv_session_create_via_unix_socket") else "tcp"
    assert s.socket_type == kind
    assert repr(s) == str(s) == f"Session(socket_type={kind.capitalize()})"
    assert s.abi is ara2.Abi.V1_3
    assert re.fullmatch(r"1\.3\.\d+\.\d+", s.dvapi_version)
    assert [repr(e) for e in s.list_endpoints()] == ["Endpoint()", "Endpoint()"]
    s.close()


def test_tcp_session_passes_dotted_quad_and_port(emulator, stand_in):
    ara2.Session.create_via_tcp_ipv4_socket(ip=emulator.host, port=emulator.port).close()
    call = stand_in.last_call("dv_session_create_via_tcp_ipv4_socket")
    assert (call["ip"], call["port"]) == (emulator.host.encode(), emulator.port)


def test_unix_session_accepts_pathlike(emulator, stand_in):
    s = ara2.Session.create_via_unix_socket(socket_path=pathlib.Path(emulator.socket_path))
    assert stand_in.last_call("dv_session_create_via_unix_socket")["path"] == emulator.socket_path.encode()
    s.close()


def test_socket_path_with_nul_is_refused_before_the_library_sees_it(stand_in):
    with raises_exactly(ara2.Ara2Error, "Null pointer error: Socket path contains null byte"):
        ara2.Session.create_via_unix_socket("/tmp/a\0b.sock")
    assert stand_in.call_count("dv_session_create_via_unix_socket") == 0


def test_connect_uses_ara2_socket_without_fallback(emulator, stand_in, monkeypatch, tmp_path):
    monkeypatch.setenv("ARA2_SOCKET", emulator.socket_path)
    ara2.Session.connect().close()
    missing = str(tmp_path / "missing.sock")
    monkeypatch.setenv("ARA2_SOCKET", missing)
    with pytest.raises(ara2.ProxyError, match=r"^Ara2 error: \d+$"):
        ara2.Session.connect()
    assert stand_in.last_call("dv_session_create_via_unix_socket")["path"] == missing.encode()


def write_config(tmp_path, text):
    path = tmp_path / "proxy.yaml"
    path.write_text(text)
    return path


def test_from_config_connects_to_the_emulator_configuration(emulator, stand_in):
    s = ara2.Session.from_config(emulator.config_path)
    assert s.socket_type == "unix"
    assert len(s.list_endpoints()) == 2
    s.close()


def test_from_config_over_ipv4(emulator, stand_in, tmp_path):
    path = write_config(tmp_path, f"proxy:\n  interface_type: ipv4\n  interface_ip_address: [{emulator.host}]\n"
                                  f"  interface_port: [{emulator.port}]\n")
    s = ara2.Session.from_config(path=str(path))
    assert s.socket_type == "tcp"
    call = stand_in.last_call("dv_session_create_via_tcp_ipv4_socket")
    assert (call["ip"], call["port"]) == (emulator.host.encode(), emulator.port)
    s.close()


def test_from_config_tries_only_the_first_endpoint(emulator, stand_in, tmp_path):
    missing = tmp_path / "missing.sock"
    path = write_config(tmp_path, f"proxy:\n  interface_socket_file: [{missing}, {emulator.socket_path}]\n")
    with pytest.raises(ara2.ProxyError, match=r"^Ara2 error: \d+$"):
        ara2.Session.from_config(path)
    assert [c["path"] for c in stand_in.calls("dv_session_create_via_unix_socket")] == [str(missing).encode()]


@pytest.mark.parametrize("text", ["proxy: {}\n", "proxy:\n  interface_type: NAMED_PIPE\n",
                                  "proxy:\n  interface_type: IPV4\n  interface_ip_address: [localhost]\n"
                                  "  interface_port: [5000]\n"])
def test_from_config_without_usable_endpoint(text, tmp_path, stand_in):
    with raises_exactly(ara2.ProxyError, "no endpoint this client can reach was declared"):
        ara2.Session.from_config(write_config(tmp_path, text))
    assert stand_in.call_count("dv_session_create_via_unix_socket") == 0


def test_from_config_reports_unreadable_and_invalid_files(tmp_path):
    missing = tmp_path / "absent.yaml"
    with raises_exactly(ara2.ProxyError, f"could not read {missing}: No such file or directory (os error 2)"):
        ara2.Session.from_config(missing)
    path = write_config(tmp_path, "proxy:\n  interface_type: pipe\n")
    with raises_exactly(ara2.ProxyError, f'{path} is not a usable proxy configuration: unknown interface_type "PIPE"'):
        ara2.Session.from_config(path)


def test_versions_maps_component_codes(session, stand_in):
    stand_in.override_versions([(0, "1.2.3.4"), (5, "9.8.7.6")])
    assert session.versions() == {"proxy": "1.2.3.4", "client_lib": "9.8.7.6"}
    stand_in.override_versions([(c, f"{c}.0.0.255") for c in range(7)])
    assert session.versions() == {
        "proxy": "0.0.0.255", "pci_driver": "1.0.0.255", "firmware": "2.0.0.255", "cnn_model": "3.0.0.255",
        "llm_model": "4.0.0.255", "client_lib": "5.0.0.255", "sysapi": "6.0.0.255"}


def test_versions_later_record_of_a_component_wins(session, stand_in):
    stand_in.override_versions([(2, "1.0.0.0"), (2, "2.0.0.0")])
    assert session.versions() == {"firmware": "2.0.0.0"}


@pytest.mark.parametrize("code", [7, 1000])
def test_versions_unknown_component_fails_whole_call(session, stand_in, code):
    stand_in.override_versions([(0, "1.0.0.0"), (code, "1.0.0.0")])
    with raises_exactly(ara2.HardwareError, f"Unknown product type: {code}"):
        session.versions()


def test_versions_default_names_known_components(session):
    versions = session.versions()
    assert versions and set(versions) <= {"proxy", "pci_driver", "firmware", "cnn_model", "llm_model",
                                          "client_lib", "sysapi"}
    assert all(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", v) for v in versions.values())


@pytest.mark.parametrize("count", [0, -1, -2147483648])
def test_list_endpoints_with_no_records_is_empty(session, stand_in, count):
    arrays_before = stand_in.live_handles("endpoint_array")
    stand_in.override_endpoint_count(count)
    assert session.list_endpoints() == []
    assert stand_in.live_handles("endpoint_array") == arrays_before


def test_each_listing_gives_new_endpoints_over_a_new_array(session, stand_in):
    arrays_before = stand_in.live_handles("endpoint_array")
    first, second = session.list_endpoints(), session.list_endpoints()
    assert first[0] is not second[0] and first[0] != second[0]
    assert stand_in.live_handles("endpoint_array") == arrays_before + 2
    del first
    assert stand_in.call_count("dv_endpoint_free_group") == 1
    assert second[1].check_status() is ara2.State.Idle


def test_inflight_count_is_zero_when_idle(session):
    assert session.inflight_count() == 0


@pytest.mark.parametrize(("code", "cls"), STATUS_CLASSES)
def test_status_codes_pick_their_class(session, stand_in, code, cls):
    stand_in.inject_status("dv_infer_get_inflight_count", code)
    with raises_exactly(cls, f"Ara2 error: {code}"):
        session.inflight_count()
    assert session.inflight_count() == 0  # a failed call leaves the session usable


@pytest.mark.parametrize(("function", "call"), [
    ("dv_retrieve_version_details", lambda s: s.versions()),
    ("dv_endpoint_get_list", lambda s: s.list_endpoints()),
    ("dv_infer_get_inflight_count", lambda s: s.inflight_count()),
])
def test_every_session_call_checks_its_status(session, stand_in, function, call):
    stand_in.inject_status(function, 250)
    with raises_exactly(ara2.ModelError, "Ara2 error: 250"):
        call(session)


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_failed_create_leaves_no_session(emulator, stand_in, transport):
    function = f"dv_session_create_via_{'unix' if transport == 'unix' else 'tcp_ipv4'}_socket"
    stand_in.inject_status(function, 201)
    sessions_before = stand_in.live_handles("session")
    with raises_exactly(ara2.ProxyError, "Ara2 error: 201"):
        if transport == "unix":
            ara2.Session.create_via_unix_socket(emulator.socket_path)
        else:
            ara2.Session.create_via_tcp_ipv4_socket(emulator.host, emulator.port)
    assert stand_in.live_handles("session") == sessions_before


CLOSED_MEMBERS = [
    lambda s: s.versions(), lambda s: s.list_endpoints(), lambda s: s.inflight_count(),
    lambda s: s.socket_type, lambda s: s.abi, lambda s: s.dvapi_version,
]


@pytest.mark.parametrize("member", CLOSED_MEMBERS)
def test_closed_session_refuses_every_member(session, member):
    assert session.close() is None
    with raises_exactly(ara2.Ara2Error, "session is closed"):
        member(session)
    assert repr(session) == str(session) == "Session(closed)"
    assert session.close() is None


def test_context_manager_closes_and_lets_exceptions_through(emulator, stand_in):
    with ara2.Session.create_via_unix_socket(emulator.socket_path) as s:
        assert s.socket_type == "unix"
    assert repr(s) == "Session(closed)"
    with pytest.raises(KeyError):
        with ara2.Session.create_via_unix_socket(emulator.socket_path) as s:
            raise KeyError("inside")
    assert repr(s) == "Session(closed)"
    assert s.__exit__(None, None, None) is False
    assert s.__enter__() is s  # even closed


def test_close_drops_only_the_python_handle(emulator, stand_in):
    s = ara2.Session.create_via_unix_socket(emulator.socket_path)
    endpoints = s.list_endpoints()
    s.close()
    assert stand_in.call_count("dv_session_close") == 0
    assert endpoints[0].check_status() is ara2.State.Idle
    del endpoints
    gc.collect()
    names = [c["fn"] for c in stand_in.calls()]
    assert stand_in.call_count("dv_endpoint_free_group") == 1
    assert stand_in.call_count("dv_session_close") == 1
    assert names.index("dv_endpoint_free_group") < names.index("dv_session_close")


def test_endpoint_array_is_freed_before_its_session_whichever_goes_last(emulator, stand_in):
    s = ara2.Session.create_via_unix_socket(emulator.socket_path)
    kept = s.list_endpoints()[1]  # the list itself is dropped at once
    s.close()
    assert stand_in.call_count("dv_endpoint_free_group") == 0
    assert kept.dram_statistics().dram_size > 0
    del kept
    names = [c["fn"] for c in stand_in.calls() if c["fn"] in ("dv_endpoint_free_group", "dv_session_close")]
    assert names == ["dv_endpoint_free_group", "dv_session_close"]


def test_dropping_a_session_closes_it_once(emulator, stand_in):
    sessions_before = stand_in.live_handles("session")
    s = ara2.Session.create_via_unix_socket(emulator.socket_path)
    assert stand_in.live_handles("session") == sessions_before + 1
    del s
    assert stand_in.call_count("dv_session_close") == 1
    assert stand_in.live_handles("session") == sessions_before


def test_docstrings_carry_text_signatures():
    assert ara2.Session.create_via_tcp_ipv4_socket.__text_signature__ == "(ip, port)"
    assert ara2.Session.from_config.__text_signature__ == "(path)"
    assert ara2.Session.versions.__text_signature__ == "($self)"
    assert ara2.Session.__exit__.__text_signature__ == "($self, exc_type, exc_val, exc_tb)"
    assert ara2.Session.create_via_tcp_ipv4_socket.__doc__ == (
        "Create a session connected via TCP/IPv4 socket.\n\nArgs:\n"
        '    ip: IPv4 address as a string (e.g., "127.0.0.1")\n    port: Port number\n\n'
        "Returns:\n    Session: A new session connected to the proxy")


def test_opening_and_closing_sessions_leaves_no_memory_behind(child_python, emulator):
    # The client library is loaded with each session and unloaded with it
    # (nobody else holds it here); neither the module nor the library may
    # leave a per-session allocation behind.
    result = child_python(f"""
import ctypes
import tallowind_ara2 as ara2

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2

def cycle(count):
    for _ in range(count):
        ara2.Session.create_via_unix_socket({emulator.socket_path!r}).close()

cycle(50)
before = libc.mallinfo2().uordblks
cycle(1000)
print((libc.mallinfo2().uordblks - before) / 1000)
""")
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 64  # bytes per session; some 3 KB while the library's state leaked
