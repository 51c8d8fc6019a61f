"""Session constructor argument checks that need no proxy: they all happen
before (or regardless of) the client library being loaded."""
import pytest

import tallowind_ara2 as ara2

INVALID_IP = "Invalid IP address: invalid IPv4 address syntax"


@pytest.mark.parametrize("ip", ["localhost", "010.0.0.1", "1.2.3.4 ", " 1.2.3.4", "1.2.3", "256.1.1.1", "", "1.2.3.4\x00"])
def test_invalid_ipv4_text_is_refused_before_any_library_is_loaded(ip, monkeypatch):
    # An invalid ARA2_ABI would fail the library load; the address check comes first.
    monkeypatch.setenv("ARA2_ABI", "not-a-generation")
    with pytest.raises(ara2.Ara2Error) as caught:
        ara2.Session.create_via_tcp_ipv4_socket(ip, 5000)
    assert type(caught.value) is ara2.Ara2Error
    assert caught.value.args == (INVALID_IP,)


@pytest.mark.parametrize("port", [70000, 65536, -1, 2**70])
def test_port_outside_u16_is_overflow(port):
    with pytest.raises(OverflowError) as caught:
        ara2.Session.create_via_tcp_ipv4_socket("localhost", port)
    assert str(caught.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    ("args", "named"),
    [((1, 5000), "ip"), ((b"127.0.0.1", 5000), "ip"), (("127.0.0.1", "5000"), "port"), (("127.0.0.1", 1.5), "port")],
)
def test_argument_types_are_checked_ip_first(args, named):
    with pytest.raises(TypeError, match=named):
        ara2.Session.create_via_tcp_ipv4_socket(*args)


def test_ip_type_is_checked_before_port_range():
    with pytest.raises(TypeError, match="ip"):
        ara2.Session.create_via_tcp_ipv4_socket(None, 70000)


def test_keywords_are_accepted():
    with pytest.raises(ara2.Ara2Error, match="Invalid IP address"):
        ara2.Session.create_via_tcp_ipv4_socket(port=1, ip="nope")


def test_invalid_abi_override_fails_the_unix_constructor_quoted(monkeypatch):
    monkeypatch.setenv("ARA2_ABI", " 2.0\t")
    with pytest.raises(ara2.LibraryError) as caught:
        ara2.Session.create_via_unix_socket("/nonexistent.sock")
    assert str(caught.value) == 'ARA2_ABI is set to "2.0"; expected 1.1 or 1.3'


@pytest.mark.parametrize("value", [1, b"/tmp/x.sock", None])
def test_socket_path_must_be_str_or_pathlike(value):
    with pytest.raises(TypeError, match="socket_path"):
        ara2.Session.create_via_unix_socket(value)


def test_sessions_cannot_be_instantiated_directly():
    with pytest.raises(TypeError):
        ara2.Session()
