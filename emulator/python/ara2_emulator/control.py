"""Observe and steer the stand-in client library from inside the process
that uses it.

The stand-in ``libaraclient`` exports, besides the ``dv_*`` functions, a small
C interface (``emu_*``) for tests. Loading it with the same file name as the
application did (``ctypes.CDLL("libaraclient.so")``) binds to the very
instance the application uses, so counters and injected statuses are shared::

    from ara2_emulator.control import StandIn

    stand_in = StandIn()
    stand_in.inject_status("dv_endpoint_check_status", 150)   # next call fails
    ...
    assert stand_in.call_count("dv_endpoint_free_dram_statistics") == 1
    assert stand_in.misuse_count == 0

Recorded calls (``calls()``) are dicts with the key ``"fn"`` and the call's
interesting arguments: ``path``/``name`` (bytes, exactly as passed),
``flags``, ``timeout_ms``, ``flag``, ``count``, ``size``, ``arg4``/``arg5``,
``fd`` and ``private_duplicate`` of ``dv_shmfd_register`` (true when the
descriptor was not 0-2, had close-on-exec set, and another descriptor of the
process referred to the same object, i.e. the caller passed a copy and kept
its own), and ``inputs``/``outputs`` of the inference calls: one dict per I/O
descriptor with ``kind`` (1 registration, 0 memory address), ``size`` and
``reserved_null``.

Misuse is any call with a handle the library never handed out or already
took back (session, endpoint array, endpoint record outside a live array,
model, request, registration, DRAM record) or a null out-pointer; such calls
return status 22 and are counted.
"""
from __future__ import annotations

import ctypes
import json
import os

__all__ = ["StandIn", "HANDLE_KINDS"]

#: Kinds accepted by StandIn.live_handles().
HANDLE_KINDS = ("session", "endpoint_array", "model", "registration", "request", "dram_record",
                "version_array")


class StandIn:
    """Control interface of one loaded stand-in client library.

    ``library`` is a file name (resolved by the dynamic loader like the
    application's own dlopen) or a path. The library is opened with
    RTLD_LOCAL; an instance already loaded under that name is shared.
    """

    def __init__(self, library: str | os.PathLike = "libaraclient.so") -> None:
        self._lib = ctypes.CDLL(os.fspath(library), mode=os.RTLD_LAZY | os.RTLD_LOCAL)
        lib = self._lib
        sigs = {
            "emu_variant": (ctypes.c_char_p, []),
            "emu_output_record_size": (ctypes.c_uint32, []),
            "emu_call_count": (ctypes.c_int64, [ctypes.c_char_p]),
            "emu_call_log": (ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]),
            "emu_inject_status": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int64]),
            "emu_override_endpoint_state": (None, [ctypes.c_uint32, ctypes.c_int]),
            "emu_override_endpoint_count": (None, [ctypes.c_int32, ctypes.c_int]),
            "emu_override_versions": (None, [ctypes.POINTER(ctypes.c_uint32),
                                             ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32]),
            "emu_override_null_dram_record": (None, [ctypes.c_int]),
            "emu_override_null_registration": (None, [ctypes.c_int]),
            "emu_misuse_count": (ctypes.c_uint64, []),
            "emu_misuse_log": (ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]),
            "emu_live_handles": (ctypes.c_int64, [ctypes.c_char_p]),
            "emu_reset": (None, []),
        }
        for name, (restype, argtypes) in sigs.items():
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, argtypes

    @property
    def handle(self) -> ctypes.CDLL:
        """The ctypes library object, for calling ``dv_*`` functions directly."""
        return self._lib

    @property
    def variant(self) -> str:
        """The build: "v1_1", "v1_3", "v1_2", "v2_0", "no_version", "no_async" or "x86_64"."""
        return self._lib.emu_variant().decode()

    @property
    def output_record_size(self) -> int:
        """Stride of output tensor records: 112 (DVAPI 1.1) or 120 (1.3)."""
        return self._lib.emu_output_record_size()

    def call_count(self, function: str) -> int:
        """How often ``function`` (a dv_* name) was called since the last reset."""
        count = self._lib.emu_call_count(function.encode())
        if count < 0:
            raise ValueError(f"unknown function {function!r}")
        return count

    def calls(self, function: str | None = None) -> list[dict]:
        """Recorded calls in order (all, or those of ``function``); text
        arguments are bytes. The library keeps the last 4096 calls."""
        records = json.loads(self._text(self._lib.emu_call_log))
        for record in records:
            for key in ("path", "name", "ip"):
                if isinstance(record.get(key), str):
                    record[key] = record[key].encode("latin-1")
        if function is not None:
            records = [r for r in records if r["fn"] == function]
        return records

    def last_call(self, function: str) -> dict:
        """The most recent recorded call of ``function``."""
        records = self.calls(function)
        if not records:
            raise LookupError(f"{function} was not called")
        return records[-1]

    def inject_status(self, function: str, status: int, times: int | None = 1) -> None:
        """Makes the next ``times`` calls of ``function`` return ``status``
        without doing anything (``times=None``: every call; ``0``: stop)."""
        if self._lib.emu_inject_status(function.encode(), status, -1 if times is None else times) != 0:
            raise ValueError(f"unknown function {function!r} or bad times {times!r}")

    def override_endpoint_state(self, raw: int | None) -> None:
        """Reports ``raw`` from dv_endpoint_check_status (None: the daemon's state)."""
        self._lib.emu_override_endpoint_state(raw or 0, raw is not None)

    def override_endpoint_count(self, count: int | None) -> None:
        """Reports ``count`` endpoints from dv_endpoint_get_list, zero or
        negative included (None: the daemon's count)."""
        self._lib.emu_override_endpoint_count(count or 0, count is not None)

    def override_versions(self, records: list[tuple[int, str]] | None) -> None:
        """Reports these (component code, "a.b.c.d") records from
        dv_retrieve_version_details (None: the daemon's records)."""
        if records is None:
            self._lib.emu_override_versions(None, None, -1)
            return
        codes = (ctypes.c_uint32 * max(len(records), 1))(*[c for c, _ in records])
        raw = [int(p) for _, v in records for p in v.split(".")]
        if len(raw) != 4 * len(records):
            raise ValueError("versions are four numbers joined by dots")
        versions = (ctypes.c_uint8 * max(len(raw), 1))(*raw)
        self._lib.emu_override_versions(codes, versions, len(records))

    def null_dram_record(self, enable: bool = True) -> None:
        """Makes dv_endpoint_get_dram_statistics succeed with a null record."""
        self._lib.emu_override_null_dram_record(bool(enable))

    def null_registration(self, enable: bool = True) -> None:
        """Makes dv_shmfd_register succeed with a null registration."""
        self._lib.emu_override_null_registration(bool(enable))

    @property
    def misuse_count(self) -> int:
        """Calls made with unknown or released handles since the last reset."""
        return self._lib.emu_misuse_count()

    def misuse_log(self) -> list[str]:
        """One line per misuse: the function and what was wrong."""
        return json.loads(self._text(self._lib.emu_misuse_log))

    def assert_no_misuse(self) -> None:
        if self.misuse_count:
            raise AssertionError("the client library was misused:\n" + "\n".join(self.misuse_log()))

    def live_handles(self, kind: str) -> int:
        """How many handles of ``kind`` (see HANDLE_KINDS) are currently handed out."""
        count = self._lib.emu_live_handles(kind.encode())
        if count < 0:
            raise ValueError(f"unknown handle kind {kind!r}; expected one of {', '.join(HANDLE_KINDS)}")
        return count

    def reset(self) -> None:
        """Clears counters, recorded calls, injected statuses, overrides and
        the misuse count (handed-out handles stay valid)."""
        self._lib.emu_reset()

    @staticmethod
    def _text(fn) -> str:
        size = fn(None, 0)
        while True:
            buffer = ctypes.create_string_buffer(size + 1)
            needed = fn(buffer, size + 1)
            if needed <= size:
                return buffer.value.decode("ascii")
            size = needed  # it grew meanwhile

    def __repr__(self) -> str:
        return f"StandIn(variant={self.variant!r})"
