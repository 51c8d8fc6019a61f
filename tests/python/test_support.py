"""The helper layer every class is written with: argument binding and
conversion, error raising, thread affinity and re-entrancy guards."""
import gc
import os
import pathlib
import sys
import threading

import pytest

ABSENT = "<absent>"
RANGE_MESSAGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((1,), {}, (1, ABSENT, ABSENT)),
        ((1, 2, 3), {}, (1, 2, 3)),
        ((), {"a": 1}, (1, ABSENT, ABSENT)),
        ((1,), {"c": 3}, (1, ABSENT, 3)),
        ((), {"c": 3, "b": 2, "a": 1}, (1, 2, 3)),
        ((1, None), {}, (1, None, ABSENT)),
    ],
)
def test_arguments_bind_by_position_or_keyword(probe, args, kwargs, expected):
    assert probe.bind_abc(*args, **kwargs) == expected


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "bind_abc() missing required argument 'a' (pos 1)"),
        ((), {"b": 1}, "bind_abc() missing required argument 'a' (pos 1)"),
        ((1, 2, 3, 4), {}, "bind_abc() takes at most 3 arguments (4 given)"),
        ((1,), {"a": 2}, "bind_abc() got multiple values for argument 'a'"),
        ((1,), {"d": 2}, "bind_abc() got an unexpected keyword argument 'd'"),
    ],
)
def test_argument_binding_errors(probe, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        probe.bind_abc(*args, **kwargs)
    assert str(info.value) == message


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("models/net.dvm", (b"models/net.dvm", "models/net.dvm")),
        (pathlib.Path("/tmp/x.dvm"), (b"/tmp/x.dvm", "/tmp/x.dvm")),
        (FsPath("\u00e9.dvm"), ("\u00e9.dvm".encode(), "\u00e9.dvm")),
        # Undecodable file names keep their bytes; the text shows U+FFFD.
        (os.fsdecode(b"/tmp/\xff.dvm"), (b"/tmp/\xff.dvm", "/tmp/\ufffd.dvm")),
        ("a\0b", (b"a\0b", "a\0b")),
    ],
)
def test_paths_give_file_system_bytes_and_text(probe, value, expected):
    assert probe.convert("path", value) == expected


@pytest.mark.parametrize("value", [b"/tmp/x.dvm", FsPath(b"/tmp/x.dvm"), 3, None, bytearray(b"x")])
def test_paths_refuse_bytes_and_non_paths(probe, value):
    with pytest.raises(TypeError, match="^argument 'value': expected str or os.PathLike returning str"):
        probe.convert("path", value)


def test_path_protocol_errors_other_than_type_errors_propagate(probe):
    class Broken:
        def __fspath__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        probe.convert("path", Broken())


def test_strings(probe):
    assert probe.convert("str", "h\u00e9") == "h\u00e9".encode()
    assert probe.convert("optional_str", None) is None
    assert probe.convert("optional_str", "dma") == b"dma"
    for kind in ("str", "optional_str"):
        with pytest.raises(TypeError, match="^argument 'value': expected str, got int$"):
            probe.convert(kind, 1)
    with pytest.raises(UnicodeEncodeError):
        probe.convert("str", "\udcff")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("kind", "value", "expected"),
    [
        ("u16", 0, 0), ("u16", 65535, 65535), ("u16", True, 1),
        ("u32", 4294967295, 4294967295), ("u32", Index(7), 7),
        ("u64", 0, 0), ("u64", 2**64 - 1, 2**64 - 1), ("u64", Index(2**63), 2**63),
    ],
)
def test_unsigned_conversions_accept_their_range(probe, kind, value, expected):
    assert probe.convert(kind, value) == expected


@pytest.mark.parametrize(
    ("kind", "value"),
    [("u16", 65536), ("u16", -1), ("u16", 2**70), ("u32", 4294967296), ("u32", -1), ("u32", -(2**70))],
)
def test_small_unsigned_conversions_report_out_of_range(probe, kind, value):
    with pytest.raises(OverflowError) as info:
        probe.convert(kind, value)
    assert str(info.value) == RANGE_MESSAGE


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_u64_out_of_range_is_overflow(probe, value):
    with pytest.raises(OverflowError):
        probe.convert("u64", value)


@pytest.mark.parametrize("kind", ["u16", "u32", "u64"])
@pytest.mark.parametrize("value", [1.0, "1", None])
def test_integer_conversions_refuse_non_integers_naming_the_argument(probe, kind, value):
    with pytest.raises(TypeError) as info:
        probe.convert(kind, value)
    assert str(info.value) == (
        f"argument 'value': '{type(value).__name__}' object cannot be interpreted as an integer")


STATUS_CLASSES = [
    (1, "Ara2Error"), (99, "Ara2Error"), (100, "HardwareError"), (199, "HardwareError"),
    (200, "ProxyError"), (239, "ProxyError"), (240, "ModelError"), (299, "ModelError"),
    (300, "LibraryError"), (399, "LibraryError"), (400, "ProxyError"), (499, "ProxyError"),
    (500, "HardwareError"), (4294967295, "HardwareError"),
]


@pytest.mark.parametrize(("code", "cls"), STATUS_CLASSES)
def test_status_errors_raise_the_class_of_their_range(probe, code, cls):
    with pytest.raises(RuntimeError) as info:
        probe.raise_status(code)
    error = info.value
    assert type(error).__name__ == cls
    assert type(error).__module__ == "tallowind_ara2"
    assert error.args == (f"Ara2 error: {code}",)
    assert str(error) == f"Ara2 error: {code}"
    assert error.__cause__ is None and error.__context__ is None
    assert not [k for k in vars(error) if not k.startswith("__")]


@pytest.mark.parametrize(
    ("kind", "text", "cls", "message"),
    [
        ("null_pointer", "Socket path contains null byte", "Ara2Error",
         "Null pointer error: Socket path contains null byte"),
        ("tensor", "no memory", "TensorError", "Tensor error: no memory"),
        ("zip", "bad archive", "MetadataError", "ZIP error: bad archive"),
        ("json", "bad json", "MetadataError", "JSON error: bad json"),
        ("library_load", "dlopen failed", "LibraryError", "dlopen failed"),
        ("unsupported_layout", "NHCW", "ModelError", "Unsupported layout: NHCW"),
        ("config_invalid", "no proxy section", "ProxyError",
         "/etc/proxy.yaml is not a usable proxy configuration: no proxy section"),
        ("io", "", "ProxyError", "No such file or directory (os error 2)"),
    ],
)
def test_core_errors_raise_their_class_with_one_message(probe, kind, text, cls, message):
    with pytest.raises(RuntimeError) as info:
        probe.raise_kind(kind, text)
    assert type(info.value).__name__ == cls
    assert info.value.args == (message,)


def test_internal_failures_escape_except_exception(probe):
    internal = probe.internal_class()
    assert internal.__bases__ == (BaseException,)
    assert not issubclass(internal, Exception)
    assert internal.__module__ == "tallowind_ara2"
    assert internal is probe.internal_class()
    with pytest.raises(BaseException) as info:
        try:
            probe.raise_kind("internal", "Expected function, got error.: missing")
        except Exception:  # must not catch it
            pytest.fail("caught by except Exception")
    assert type(info.value) is internal
    assert info.value.args == ("Expected function, got error.: missing",)


@pytest.fixture
def unraisable():
    """Collects what sys.unraisablehook receives."""
    seen = []
    saved = sys.unraisablehook
    sys.unraisablehook = lambda report: seen.append((report.exc_type, str(report.exc_value)))
    try:
        yield seen
    finally:
        sys.unraisablehook = saved


def test_unraisable_reports_keep_a_pending_exception_out_of_it(probe, unraisable):
    probe.unraisable("finaliser failed")
    assert unraisable == [(RuntimeError, "finaliser failed")]


def _in_thread(function):
    result = {}

    def run():
        try:
            result["value"] = function()
        except BaseException as error:  # noqa: B036 - the internal failure is a BaseException
            result["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return result


def test_objects_refuse_use_from_another_thread(probe):
    guarded = probe.make_guarded()
    assert guarded.check() is True
    result = _in_thread(guarded.check)
    error = result["error"]
    assert type(error) is probe.internal_class()
    assert str(error) == "tallowind_ara2::probe::Guarded is unsendable, but sent to another thread"
    assert guarded.check() is True


def test_dropping_on_another_thread_is_reported_and_leaves_resources(probe, unraisable):
    # Objects of earlier tests may still sit in reference cycles; collecting
    # them now keeps a later collection from changing the count below.
    gc.collect()
    holder = [probe.make_guarded()]
    released = probe.released_count()
    _in_thread(holder.clear)
    assert unraisable == [
        (RuntimeError, "tallowind_ara2::probe::Guarded is unsendable, but is being dropped on another thread")]
    assert probe.released_count() == released


def test_dropping_on_the_owner_thread_releases(probe, unraisable):
    guarded = probe.make_guarded()
    released = probe.released_count()
    del guarded
    assert probe.released_count() == released + 1
    assert unraisable == []


@pytest.mark.parametrize(
    ("outer", "inner", "message"),
    [
        ("write", "read", "Already mutably borrowed"),
        ("write", "write", "Already mutably borrowed"),
        ("read", "write", "Already borrowed"),
        ("read", "read", None),
    ],
)
def test_reentrant_use_is_refused_by_the_borrow_guard(probe, outer, inner, message):
    guarded = probe.make_guarded()
    outcome = []

    def reenter():
        try:
            getattr(guarded, inner)(None)
            outcome.append(None)
        except RuntimeError as error:
            outcome.append(str(error))
        return "done"

    assert getattr(guarded, outer)(reenter) == "done"
    assert outcome == [message]
    # Every borrow was released on the way out.
    assert guarded.write(lambda: "free") == "free"


def test_borrow_is_released_when_the_callback_raises(probe):
    guarded = probe.make_guarded()

    def fail():
        raise ValueError("inside")

    with pytest.raises(ValueError):
        guarded.write(fail)
    with pytest.raises(ValueError):
        guarded.read(fail)
    assert guarded.write(lambda: 1) == 1


@pytest.mark.parametrize(("kind", "message"), [
    ("bad_alloc", None),
    ("length_error", "uncaught C++ exception: vector::_M_default_append"),
    ("runtime_error", "uncaught C++ exception: broken invariant"),
    ("not_utf8", "uncaught C++ exception: bad \ufffd byte"),
    ("int", "uncaught C++ exception: an exception of an unknown type"),
])
def test_cpp_exceptions_cross_no_entry_point(probe, unraisable, kind, message):
    expected = MemoryError if message is None else probe.internal_class()
    with pytest.raises(expected) as method:
        probe.throw_now(kind)  # also makes the Thrower's slots throw this kind
    thrower = probe.make_thrower()
    with pytest.raises(expected) as getter:
        thrower.value
    with pytest.raises(expected) as representation:
        repr(thrower)
    with pytest.raises(expected):
        probe.make_failing()
    del thrower
    if message is not None:
        for raised in (method, getter, representation):
            assert raised.value.args == (message,)
    assert [(type_, text or None) for type_, text in unraisable] == [(expected, message)]
