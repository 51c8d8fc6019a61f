"""Builds emulated model files (.dvm) from a short YAML or JSON description.

The byte layout is documented in emulator/models/README.md; the emulator's C++
reader is the other half of this file. ``build_model(description)`` returns
the bytes; the console script ``ara2-emu-model DESCRIPTION -o OUT.dvm``
writes them.
"""
from __future__ import annotations

import argparse
import io
import json
import math
import pathlib
import re
import struct
import sys
import zipfile
import zlib
from typing import Any

__all__ = ["ModelDescriptionError", "build_model", "load_description", "main", "OUTPUT_TYPES", "ELEMENT_TYPES"]

MAGIC = b"ARA2EMU\x00"
FORMAT_VERSION = 1

OUTPUT_TYPES = {"classification": 0, "detection": 1, "semantic_segmentation": 2, "raw": 3}
ELEMENT_TYPES = {"u8": (0, 1), "i8": (1, 1), "u16": (2, 2), "i16": (3, 2), "i32": (4, 4), "f32": (5, 4)}
BUFFER_KINDS = {"input": 0, "output": 1, "scratch": 2}
OP_CODES = {"copy": 1, "requantize": 2, "mean_pool": 3, "dense": 4, "argmax": 5}
COMPRESSIONS = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED}

I32 = (-(2**31), 2**31 - 1)
U32 = (0, 2**32 - 1)
U64 = (0, 2**64 - 1)
MAX_SCRATCH_BYTES = 256 << 20


class ModelDescriptionError(ValueError):
    """A model description that cannot be built; the message names the key."""


# ---------------------------------------------------------------- value checks


def _fail(where: str, message: str) -> None:
    raise ModelDescriptionError(f"{where}: {message}")


def _mapping(value: Any, where: str, allowed: set[str]) -> dict:
    if not isinstance(value, dict):
        _fail(where, f"expected a mapping, got {type(value).__name__}")
    unknown = sorted(str(k) for k in value if k not in allowed)
    if unknown:
        _fail(where, f"unknown key(s) {', '.join(unknown)}; allowed: {', '.join(sorted(allowed))}")
    return value


def _int(value: Any, where: str, bounds: tuple[int, int]) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        _fail(where, f"expected an integer, got {value!r}")
    if not bounds[0] <= value <= bounds[1]:
        _fail(where, f"{value} is outside {bounds[0]}..{bounds[1]}")
    return value


def _bool(value: Any, where: str) -> bool:
    if not isinstance(value, bool):
        _fail(where, f"expected true or false, got {value!r}")
    return value


def _float(value: Any, where: str) -> float:
    """Any float32 value, NaN and infinities included; text such as "nan",
    "-inf" or "1e30" (which YAML 1.1 reads as a string) is accepted too."""
    if isinstance(value, str):
        try:
            value = float(value)
        except ValueError:
            _fail(where, f"expected a number, got {value!r}")
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        _fail(where, f"expected a number, got {value!r}")
    try:
        return struct.unpack("<f", struct.pack("<f", float(value)))[0]
    except OverflowError:
        _fail(where, f"{value} does not fit a 32-bit float")


def _text(value: Any, where: str) -> bytes:
    """str (UTF-8), bytes (YAML !!binary) or {hex: "..."} for raw, invalid UTF-8 names."""
    if isinstance(value, dict):
        _mapping(value, where, {"hex"})
        try:
            value = bytes.fromhex(str(value.get("hex", "")))
        except ValueError as exc:
            _fail(where, f"bad hex text: {exc}")
    elif isinstance(value, str):
        value = value.encode("utf-8")
    elif not isinstance(value, (bytes, bytearray)):
        _fail(where, f"expected text, got {value!r}")
    if b"\0" in value:
        _fail(where, "text must not contain a NUL byte")
    return bytes(value)


def _triple(value: Any, where: str) -> tuple[float, float, float] | None:
    if value is None:
        return None
    if not isinstance(value, (list, tuple)) or len(value) != 3:
        _fail(where, f"expected null or a list of three numbers, got {value!r}")
    return tuple(_float(v, f"{where}[{i}]") for i, v in enumerate(value))


def _optional_float(value: Any, where: str) -> float | None:
    return None if value is None else _float(value, where)


# ------------------------------------------------------------------ encoding


class _Writer:
    def __init__(self) -> None:
        self.parts: list[bytes] = []

    def pack(self, fmt: str, *values: Any) -> None:
        self.parts.append(struct.pack("<" + fmt, *values))

    def text(self, data: bytes) -> None:
        self.pack("I", len(data))
        self.parts.append(data)

    def flag(self, value: bool) -> None:
        self.pack("B", 1 if value else 0)

    def optional_floats(self, values: tuple[float, ...] | None) -> None:
        self.flag(values is not None)
        if values is not None:
            self.pack(f"{len(values)}f", *values)

    def getvalue(self) -> bytes:
        return b"".join(self.parts)


def _shape(entry: dict, where: str) -> tuple[int, int, int]:
    shape = entry.get("shape")
    if shape is not None:
        if not isinstance(shape, (list, tuple)) or len(shape) != 3:
            _fail(f"{where}.shape", f"expected [nch, height, width], got {shape!r}")
        nch, height, width = shape
    else:
        nch, height, width = entry.get("nch"), entry.get("height"), entry.get("width")
        if nch is None or height is None or width is None:
            _fail(where, "needs shape: [nch, height, width] (or nch, height and width)")
    nch = _int(entry.get("nch", nch), f"{where}.nch", I32)
    height = _int(entry.get("height", height), f"{where}.height", I32)
    width = _int(entry.get("width", width), f"{where}.width", I32)
    return nch, height, width


def _read_fields() -> dict[str, list[tuple[str, str]]]:
    """(name, encoding) of each tensor field in file order, from the table the
    C++ reader and the stand-in library's records are built from."""
    table = pathlib.Path(__file__).with_name("tensor_fields.def").read_text(encoding="utf-8")
    fields: dict[str, list[tuple[str, str]]] = {"input": [], "output": []}
    for kind, name, encoding in re.findall(r"^EMU_(INPUT|OUTPUT)\((\w+), (\w+), \w+, \d+\)$", table, re.M):
        fields[kind.lower()].append((name, encoding))
    return fields


TENSOR_FIELDS = _read_fields()


class _Tensor:
    """What the program checks need to know about a described tensor."""

    def __init__(self, capacity: int, nch: int, height: int, width: int, bpp: int, is_signed: bool) -> None:
        self.capacity, self.nch, self.height, self.width = capacity, nch, height, width
        self.bpp, self.is_signed = bpp, is_signed


def _encode_field(w: _Writer, encoding: str, value: Any, where: str) -> Any:
    if encoding in ("i32", "u32"):
        value = _int(value, where, I32 if encoding == "i32" else U32)
        w.pack("i" if encoding == "i32" else "I", value)
    elif encoding == "f32":
        w.pack("f", _float(value, where))
    elif encoding == "text":
        w.text(_text(value, where))
    elif encoding == "flag":
        w.flag(_bool(value, where))
    elif encoding == "opt_f32x3":
        w.optional_floats(_triple(value, where))
    else:
        raise AssertionError(f"tensor_fields.def: unknown encoding {encoding}")
    return value


def _encode_tensor(w: _Writer, kind: str, index: int, entry: Any) -> _Tensor:
    """One input or output record; a field not given takes its default."""
    where = f"{kind}s[{index}]"
    fields = TENSOR_FIELDS[kind]
    entry = _mapping(entry, where, {"name", "shape"} | {name for name, _ in fields})
    nch, height, width = _shape(entry, where)
    bpp = _int(entry.get("bpp", 1), f"{where}.bpp", I32)
    name = entry.get("name", f"{kind}{index}")
    values = {"layer_id": index, "blob_id": index, "layer_name": name, "blob_name": name,
              "layer_type": kind.capitalize(), "layout": "CHW", "size": nch * height * width * bpp,
              "batch_size": 1, "qn": 1.0, "offset": 0, "is_signed": False, "qmode": 9, "mean": [0.0, 0.0, 0.0],
              "scale": [1.0, 1.0, 1.0], "fused_parent_id": -1, "layer_fused_parent_name": "", "num_classes": 0,
              "layer_output_type": "raw", "max_dynamic_id": 0, **entry, "nch": nch, "height": height,
              "width": width, "bpp": bpp}
    output_type = values["layer_output_type"]
    if isinstance(output_type, str):
        if output_type not in OUTPUT_TYPES:
            _fail(f"{where}.layer_output_type", f"unknown type {output_type!r}; use one of "
                  f"{', '.join(OUTPUT_TYPES)} or any unsigned 32-bit number")
        values["layer_output_type"] = OUTPUT_TYPES[output_type]
    bits = None  # the byte a run of bitN fields shares
    for field, encoding in fields:
        if encoding.startswith("bit"):
            bits = (bits or 0) | _bool(values.get(field, False), f"{where}.{field}") << int(encoding[3:])
            continue
        if bits is not None:
            w.pack("B", bits)
            bits = None
        values[field] = _encode_field(w, encoding, values[field], f"{where}.{field}")
    if bits is not None:
        w.pack("B", bits)
    if kind == "input":
        capacity = nch * height * width if min(nch, height, width) >= 0 else 0
    else:
        capacity = max(values["size"], 0)
    return _Tensor(capacity, nch, height, width, bpp, values["is_signed"])


_FAULT_KEYS = {"completion_states", "final_state", "missing_statistics", "null_request", "null_completed",
               "call_status", "run_time_us", "input_time_us", "output_time_us", "latency_us"}


def _encode_faults(w: _Writer, faults: Any) -> None:
    faults = _mapping(faults if faults is not None else {}, "faults", _FAULT_KEYS)
    states = faults.get("completion_states", [])
    if not isinstance(states, (list, tuple)):
        _fail("faults.completion_states", f"expected a list of states, got {states!r}")
    w.pack("I", len(states))
    for i, state in enumerate(states):
        w.pack("I", _int(state, f"faults.completion_states[{i}]", U32))
    final = faults.get("final_state")
    w.flag(final is not None)
    if final is not None:
        w.pack("I", _int(final, "faults.final_state", U32))
    flags = 0
    for bit, key in enumerate(("missing_statistics", "null_request", "null_completed")):
        if _bool(faults.get(key, False), f"faults.{key}"):
            flags |= 1 << bit
    w.pack("B", flags)
    calls = faults.get("call_status", {})
    if not isinstance(calls, dict):
        _fail("faults.call_status", f"expected a mapping of dv_* function to status, got {calls!r}")
    w.pack("I", len(calls))
    for name, status in calls.items():
        if not isinstance(name, str) or not re.fullmatch(r"dv_[a-z0-9_]+", name):
            _fail("faults.call_status", f"{name!r} is not a dv_* function name")
        w.text(name.encode())
        w.pack("I", _int(status, f"faults.call_status.{name}", U32))
    for key in ("run_time_us", "input_time_us", "output_time_us"):
        value = _optional_float(faults.get(key), f"faults.{key}")
        w.flag(value is not None)
        if value is not None:
            w.pack("f", value)
    w.pack("I", _int(faults.get("latency_us", 0), "faults.latency_us", U32))


# ------------------------------------------------------------------- program


class _Program:
    def __init__(self, inputs: list[_Tensor], outputs: list[_Tensor], scratch: dict[str, int]) -> None:
        self.inputs, self.outputs = inputs, outputs
        self.scratch_names = list(scratch)
        self.scratch_sizes = list(scratch.values())

    def ref(self, value: Any, where: str) -> tuple[int, int, _Tensor | None, int]:
        """(kind, index, tensor or None, capacity) of a buffer reference."""
        if not isinstance(value, str):
            _fail(where, f"expected a buffer such as 'input:0', 'output:0' or a scratch name, got {value!r}")
        kind, _, rest = value.partition(":")
        if kind in ("input", "output") and rest.isdigit():
            tensors = self.inputs if kind == "input" else self.outputs
            index = int(rest)
            if index >= len(tensors):
                _fail(where, f"{value} does not exist (the model has {len(tensors)} {kind}s)")
            return BUFFER_KINDS[kind], index, tensors[index], tensors[index].capacity
        name = rest if kind == "scratch" and rest else value
        if name not in self.scratch_names:
            _fail(where, f"unknown buffer {value!r}; scratch buffers: {', '.join(self.scratch_names) or 'none'}")
        index = self.scratch_names.index(name)
        return BUFFER_KINDS["scratch"], index, None, self.scratch_sizes[index]

    @staticmethod
    def elem_type(op: dict, key: str, tensor: _Tensor | None, where: str) -> tuple[int, int]:
        """(code, size); defaults follow the tensor's bpp and signedness."""
        name = op.get(key)
        if name is None:
            if tensor is None:
                _fail(where, f"{key} is required for a scratch buffer ({', '.join(ELEMENT_TYPES)})")
            name = {1: "i8" if tensor.is_signed else "u8", 2: "i16" if tensor.is_signed else "u16",
                    4: "f32"}.get(tensor.bpp)
            if name is None:
                _fail(where, f"{key} is required: bpp {tensor.bpp} has no element type")
        if name not in ELEMENT_TYPES:
            _fail(f"{where}.{key}", f"unknown element type {name!r}; use one of {', '.join(ELEMENT_TYPES)}")
        return ELEMENT_TYPES[name]


def _check_fits(where: str, buffer: str, capacity: int, needed: int) -> None:
    if needed > capacity:
        _fail(where, f"{buffer} holds {capacity} bytes, the op needs {needed}")


def _encode_op(w: _Writer, p: _Program, index: int, op: Any) -> None:
    where = f"program.ops[{index}]"
    if not isinstance(op, dict) or op.get("op") not in OP_CODES:
        _fail(where, f"each op needs op: one of {', '.join(OP_CODES)}")
    name = op["op"]
    common = {"op", "src", "dst"}
    allowed = {
        "copy": common | {"src_offset", "dst_offset", "length"},
        "requantize": common | {"src_type", "dst_type", "count", "src_zero", "scale", "dst_zero"},
        "mean_pool": common | {"src_type", "dst_type", "channels", "spatial"},
        "dense": common | {"src_type", "src_zero", "weights", "bias"},
        "argmax": common | {"src_type", "dst_type", "count"},
    }[name]
    _mapping(op, where, allowed)
    for key in ("src", "dst"):
        if key not in op:
            _fail(where, f"{name} needs {key}")
    skind, sindex, stensor, scap = p.ref(op["src"], f"{where}.src")
    dkind, dindex, dtensor, dcap = p.ref(op["dst"], f"{where}.dst")
    if dkind == BUFFER_KINDS["input"]:
        _fail(f"{where}.dst", "inputs cannot be written")
    src, dst = str(op["src"]), str(op["dst"])
    w.pack("B", OP_CODES[name])

    if name == "copy":
        soff = _int(op.get("src_offset", 0), f"{where}.src_offset", U32)
        doff = _int(op.get("dst_offset", 0), f"{where}.dst_offset", U32)
        length = _int(op.get("length", max(0, min(scap - soff, dcap - doff))), f"{where}.length", U32)
        _check_fits(where, src, scap, soff + length)
        _check_fits(where, dst, dcap, doff + length)
        w.pack("BIIBIII", skind, sindex, soff, dkind, dindex, doff, length)
    elif name == "requantize":
        stype, ssize = p.elem_type(op, "src_type", stensor, where)
        dtype, dsize = p.elem_type(op, "dst_type", dtensor, where)
        count = _int(op.get("count", min(scap // ssize, dcap // dsize)), f"{where}.count", U32)
        _check_fits(where, src, scap, count * ssize)
        _check_fits(where, dst, dcap, count * dsize)
        scale = _float(op.get("scale", 1.0), f"{where}.scale")
        if not math.isfinite(scale):
            _fail(f"{where}.scale", "must be finite")
        w.pack("BIBIifiBIB", skind, sindex, stype, count, _int(op.get("src_zero", 0), f"{where}.src_zero", I32),
               scale, _int(op.get("dst_zero", 0), f"{where}.dst_zero", I32), dkind, dindex, dtype)
    elif name == "mean_pool":
        stype, ssize = p.elem_type(op, "src_type", stensor, where)
        dtype, dsize = p.elem_type(op, "dst_type", dtensor, where)
        if stensor is None and ("channels" not in op or "spatial" not in op):
            _fail(where, "mean_pool over a scratch buffer needs channels and spatial")
        channels = _int(op.get("channels", stensor.nch if stensor else 0), f"{where}.channels", U32)
        spatial = _int(op.get("spatial", stensor.height * stensor.width if stensor else 0), f"{where}.spatial", U32)
        if spatial == 0:
            _fail(f"{where}.spatial", "must be at least 1")
        _check_fits(where, src, scap, channels * spatial * ssize)
        _check_fits(where, dst, dcap, channels * dsize)
        w.pack("BIBIIBIB", skind, sindex, stype, channels, spatial, dkind, dindex, dtype)
    elif name == "dense":
        stype, ssize = p.elem_type(op, "src_type", stensor, where)
        if stype == ELEMENT_TYPES["f32"][0]:
            _fail(f"{where}.src_type", "dense takes integer inputs")
        rows = op.get("weights")
        if not isinstance(rows, (list, tuple)) or not rows or not all(isinstance(r, (list, tuple)) for r in rows):
            _fail(f"{where}.weights", "expected a list of rows, one per output feature")
        in_features = len(rows[0])
        if any(len(r) != in_features for r in rows):
            _fail(f"{where}.weights", "all rows must have the same length")
        flat = [_int(v, f"{where}.weights[{o}][{k}]", (-128, 127)) for o, r in enumerate(rows) for k, v in enumerate(r)]
        bias = op.get("bias", [0] * len(rows))
        if not isinstance(bias, (list, tuple)) or len(bias) != len(rows):
            _fail(f"{where}.bias", f"expected {len(rows)} values, one per row of weights")
        bias = [_int(v, f"{where}.bias[{o}]", I32) for o, v in enumerate(bias)]
        _check_fits(where, src, scap, in_features * ssize)
        _check_fits(where, dst, dcap, 4 * len(rows))
        w.pack("BIBiII", skind, sindex, stype, _int(op.get("src_zero", 0), f"{where}.src_zero", I32),
               in_features, len(rows))
        w.pack(f"{len(flat)}b{len(bias)}i", *flat, *bias)
        w.pack("BI", dkind, dindex)
    else:  # argmax
        stype, ssize = p.elem_type(op, "src_type", stensor, where)
        dtype, dsize = p.elem_type(op, "dst_type", dtensor, where)
        count = _int(op.get("count", scap // ssize), f"{where}.count", U32)
        if count == 0:
            _fail(f"{where}.count", "must be at least 1")
        _check_fits(where, src, scap, count * ssize)
        _check_fits(where, dst, dcap, dsize)
        w.pack("BIBIBIB", skind, sindex, stype, count, dkind, dindex, dtype)


def _encode_program(w: _Writer, program: Any, inputs: list[_Tensor], outputs: list[_Tensor]) -> None:
    program = _mapping(program if program is not None else {}, "program", {"scratch", "ops"})
    scratch = program.get("scratch", {}) or {}
    if not isinstance(scratch, dict):
        _fail("program.scratch", "expected a mapping of buffer name to size in bytes")
    for name, size in scratch.items():
        if not isinstance(name, str) or not name or ":" in name or name in ("input", "output"):
            _fail("program.scratch", f"bad buffer name {name!r}")
        _int(size, f"program.scratch.{name}", U32)
    if sum(scratch.values()) > MAX_SCRATCH_BYTES:
        _fail("program.scratch", "scratch buffers exceed 256 MiB")
    p = _Program(inputs, outputs, scratch)
    w.pack("I", len(scratch))
    for size in scratch.values():
        w.pack("I", size)
    ops = program.get("ops", []) or []
    if not isinstance(ops, (list, tuple)):
        _fail("program.ops", "expected a list of ops")
    w.pack("I", len(ops))
    for i, op in enumerate(ops):
        _encode_op(w, p, i, op)


# ------------------------------------------------------------------- archive


def _entry_data(value: Any, where: str) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, dict) and "hex" in value:
        try:
            return bytes.fromhex(str(value["hex"]))
        except ValueError as exc:
            _fail(where, f"bad hex data: {exc}")
    _fail(where, f"expected text, bytes or {{hex: ...}}, got {value!r}")


def _archive_entries(description: dict) -> list[tuple[str, bytes, int]]:
    default = description.get("archive_compression", "deflated")
    if default not in COMPRESSIONS:
        _fail("archive_compression", f"expected one of {', '.join(COMPRESSIONS)}, got {default!r}")
    entries: list[tuple[str, bytes, int]] = []
    metadata = description.get("metadata")
    if metadata is not None:
        if isinstance(metadata, (dict, list)):
            data = json.dumps(metadata, indent=2).encode("utf-8")
        else:
            data = _entry_data(metadata, "metadata")
        entries.append(("tallowind.json", data, COMPRESSIONS[default]))
    labels = description.get("labels")
    if labels is not None:
        if isinstance(labels, (list, tuple)):
            if not all(isinstance(label, str) for label in labels):
                _fail("labels", "expected a list of strings or the raw text of labels.txt")
            data = "".join(label + "\n" for label in labels).encode("utf-8")
        else:
            data = _entry_data(labels, "labels")
        entries.append(("labels.txt", data, COMPRESSIONS[default]))
    extra = description.get("archive_entries", {}) or {}
    if not isinstance(extra, dict):
        _fail("archive_entries", "expected a mapping of entry name to content")
    for name, value in extra.items():
        where = f"archive_entries.{name}"
        compression = COMPRESSIONS[default]
        if isinstance(value, dict) and "data" in value:
            _mapping(value, where, {"data", "compression"})
            method = value.get("compression", default)
            if method not in COMPRESSIONS:
                _fail(f"{where}.compression", f"expected one of {', '.join(COMPRESSIONS)}, got {method!r}")
            compression, value = COMPRESSIONS[method], value["data"]
        if not isinstance(name, str) or not name:
            _fail("archive_entries", f"bad entry name {name!r}")
        entries.append((name, _entry_data(value, where), compression))
    return entries


def _append_archive(model: bytes, entries: list[tuple[str, bytes, int]]) -> bytes:
    stream = io.BytesIO(model)
    stream.seek(0, io.SEEK_END)
    # Mode "a" on bytes that are not an archive appends a new one after them,
    # as a compiled model file carries it.
    with zipfile.ZipFile(stream, "a") as archive:
        for name, data, compression in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.compress_type = compression
            archive.writestr(info, data)
    return stream.getvalue()


# ------------------------------------------------------------------ building

_TOP_KEYS = {"dram_bytes", "inputs", "outputs", "faults", "program", "metadata", "labels", "archive_entries",
             "archive_compression", "description"}


def build_model(description: dict, path: str | pathlib.Path | None = None) -> bytes:
    """Encode a model description as an emulated .dvm file.

    Returns the file's bytes and writes them to ``path`` when given. Raises
    ModelDescriptionError naming the offending key when the description is
    invalid.
    """
    description = _mapping(description, "description", _TOP_KEYS)
    inputs, outputs = description.get("inputs") or [], description.get("outputs") or []
    for key, value in (("inputs", inputs), ("outputs", outputs)):
        if not isinstance(value, (list, tuple)):
            _fail(key, "expected a list of tensors")
    w = _Writer()
    w.pack("Q", 0)  # dram_bytes, filled in below
    w.pack("I", len(inputs))
    in_tensors = [_encode_tensor(w, "input", i, t) for i, t in enumerate(inputs)]
    w.pack("I", len(outputs))
    out_tensors = [_encode_tensor(w, "output", i, t) for i, t in enumerate(outputs)]
    _encode_faults(w, description.get("faults"))
    _encode_program(w, description.get("program"), in_tensors, out_tensors)
    body = w.getvalue()
    default_dram = sum(t.capacity for t in in_tensors + out_tensors) + len(body)
    dram = _int(description.get("dram_bytes", default_dram), "dram_bytes", U64)
    body = struct.pack("<Q", dram) + body[8:]
    if len(body) > U32[1]:
        _fail("description", "the model does not fit the 4 GiB the format allows")
    data = MAGIC + struct.pack("<III", FORMAT_VERSION, len(body), zlib.crc32(body)) + body
    entries = _archive_entries(description)
    if entries:
        data = _append_archive(data, entries)
    if path is not None:
        pathlib.Path(path).write_bytes(data)
    return data


def load_description(path: str | pathlib.Path) -> dict:
    """Read a YAML or JSON description (JSON is chosen by a .json suffix)."""
    path = pathlib.Path(path)
    text = path.read_text(encoding="utf-8")
    if path.suffix.lower() == ".json":
        try:
            return json.loads(text)
        except json.JSONDecodeError as exc:
            raise ModelDescriptionError(f"{path}: {exc}") from None
    try:
        import yaml
    except ImportError:
        raise ModelDescriptionError(f"{path}: reading YAML needs PyYAML: pip install 'tallowind-ara2[emulator]', "
                                    "or write the description as .json") from None

    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as exc:
        raise ModelDescriptionError(f"{path}: {exc}") from None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="ara2-emu-model",
        description="Build an emulated ARA-2 model file (.dvm) from a YAML or JSON description.",
        epilog="`ara2-emulator docs models` describes the format; `ara2-emulator example DIR` writes an "
               "example description (colour_classifier.yaml) with an application and its test.")
    parser.add_argument("description", help="YAML or JSON model description")
    parser.add_argument("-o", "--output", required=True, help="where to write the .dvm file")
    args = parser.parse_args(argv)
    try:
        build_model(load_description(args.description), args.output)
    except (OSError, ModelDescriptionError) as exc:
        print(f"ara2-emu-model: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
