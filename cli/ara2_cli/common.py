"""What the commands share: the one-line error, reaching a proxy, choosing
endpoints, and turning the module's records into plain JSON values."""
from __future__ import annotations

import argparse
import contextlib
import math
import os
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import tallowind_ara2 as ara2

#: A command's report: plain JSON values only (see docs/cli.md).
Document = dict[str, Any]

NO_PROXY_HINT = "is the proxy running? `ara2 scan` lists the proxies on this host"


class CliError(Exception):
    """An operation failed; reported as one line, exit status 1."""


class UsageError(CliError):
    """Options that contradict each other; exit status 2, as argparse's own errors."""


def error_document(error: BaseException) -> Document:
    """The "error" member of a failed command's report: the line shown, the
    module's exception class behind it, if any, and the notes that exception
    carries (what to check), if any."""
    cause = error if isinstance(error, ara2.Ara2Error) else error.__cause__
    document: Document = {"message": str(error) if isinstance(error, CliError) else describe(error),
                          "type": type(cause).__name__ if isinstance(cause, ara2.Ara2Error) else None}
    notes = getattr(cause, "__notes__", None) if isinstance(cause, ara2.Ara2Error) else None
    if notes:
        document["notes"] = [str(note) for note in notes]
    return document


def describe(error: BaseException) -> str:
    """'ProxyError: Ara2 error: 201': the class tells which layer failed."""
    return f"{type(error).__name__}: {error}"


@contextlib.contextmanager
def step(what: str) -> Iterator[None]:
    """Turns a failure of the module or the file system inside the block into
    a CliError saying what was being done."""
    try:
        yield
    except (ara2.Ara2Error, OSError) as error:
        raise CliError(f"{what}: {describe(error)}") from error


# ---------------------------------------------------------------- arguments


def tcp_address(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT with a port from 0 to 65535, got {text!r}")
    return host, int(port)


def natural(text: str) -> int:
    """An integer of at least 0."""
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 0, got {text!r}")
    return int(text)


def positive(text: str) -> int:
    value = natural(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected a number of at least 1, got 0")
    return value


def add_connection_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "proxy", "Without these: $ARA2_SOCKET or the default socket when either is set or exists, "
                 "else the first proxy running on this host.")
    exclusive = group.add_mutually_exclusive_group()
    exclusive.add_argument("--socket", metavar="PATH", help="connect to the proxy's UNIX socket PATH")
    exclusive.add_argument("--tcp", metavar="HOST:PORT", type=tcp_address,
                           help="connect to the proxy over TCP/IPv4")
    exclusive.add_argument("--config", metavar="FILE",
                           help="connect to the first address a proxy configuration file declares")


# ---------------------------------------------------------------- connecting


@dataclass
class Connection:
    session: ara2.Session
    address: str  # how the proxy was reached, for reports


def explicit_target(args: argparse.Namespace) -> tuple[str, Callable[[], ara2.Session]] | None:
    if args.socket is not None:
        return f"unix:{args.socket}", lambda: ara2.Session.create_via_unix_socket(args.socket)
    if args.tcp is not None:
        host, port = args.tcp
        return f"tcp:{host}:{port}", lambda: ara2.Session.create_via_tcp_ipv4_socket(host, port)
    if args.config is not None:
        return f"config:{args.config}", lambda: ara2.Session.from_config(args.config)
    return None


def _implicit() -> tuple[str, Callable[[], ara2.Session]] | None:
    """Where an application calling Session.connect() would go, when that
    socket is configured or exists; else the first proxy running here."""
    default = ara2.socket_path()
    if "ARA2_SOCKET" in os.environ or os.path.exists(default):
        return f"unix:{default}", ara2.Session.connect
    for proxy in ara2.discover():
        if proxy.endpoints:
            return f"{proxy.endpoints[0]} (pid {proxy.pid})", proxy.connect
    return None


def _open(args: argparse.Namespace, required: bool) -> Connection | None:
    target = explicit_target(args)
    named = target is not None or "ARA2_SOCKET" in os.environ  # a proxy named must answer
    if target is None:
        with step("looking for a running proxy"):
            target = _implicit()
        if target is None:
            if not required:
                return None
            raise CliError("no ARA-2 proxy found: none is running on this host and neither $ARA2_SOCKET nor "
                           "--socket/--tcp/--config names one")
    address, open_session = target
    try:
        return Connection(open_session(), address)
    except ara2.LibraryError as error:
        # Not a missing proxy: this host's client library, whatever the proxy does.
        raise CliError(f"loading the client library to reach {address}: {describe(error)}") from error
    except ara2.Ara2Error as error:
        if not (named or required):
            return None
        raise CliError(f"cannot connect to {address}: {describe(error)} ({NO_PROXY_HINT})") from error


def connect(args: argparse.Namespace) -> Connection:
    """A session to the proxy the options name, else as _implicit() finds one."""
    connection = _open(args, required=True)
    assert connection is not None
    return connection


def connect_if_possible(args: argparse.Namespace) -> Connection | None:
    """As connect(), but None when no proxy was named and none could be reached:
    for commands that can do without one."""
    return _open(args, required=False)


def select_endpoints(session: ara2.Session, wanted: list[int] | None) -> list[tuple[int, ara2.Endpoint]]:
    """(index, endpoint) pairs for the wanted indexes, or for all when None."""
    with step("listing endpoints"):
        endpoints = session.list_endpoints()
    if not endpoints:
        raise CliError("the proxy reports no endpoints")
    if wanted is None:
        return list(enumerate(endpoints))
    for index in wanted:
        if index >= len(endpoints):
            raise CliError(f"endpoint {index} out of range: the proxy has {len(endpoints)} endpoint(s), "
                           f"0 to {len(endpoints) - 1}")
    return [(index, endpoints[index]) for index in wanted]


def model_file(path: str) -> str:
    """The path to load a model from: absolute, because the proxy may open the
    file itself from another working directory. A missing or unreadable file,
    or one that is plainly not a compiled model, is reported here, before any
    device is touched."""
    if not os.path.isfile(path):
        raise CliError(f"{path}: no such file" if not os.path.exists(path) else f"{path}: not a regular file")
    if not os.access(path, os.R_OK):
        raise CliError(f"{path}: not readable")
    what = _plainly_not_a_model(path)
    if what is not None:
        raise CliError(f"{path}: {what}, not a compiled model")
    return os.path.abspath(path)


DESCRIPTION_SUFFIXES = (".yaml", ".yml", ".json")


def _plainly_not_a_model(path: str) -> str | None:
    """What the file is when it is plainly something else than a compiled
    model, else None. A compiled model's format is the vendor's, so only this
    is flagged: an empty file, a NumPy array (its magic), and text (the first
    4 KiB are UTF-8 without control characters but tab, line and page breaks;
    compiled models are binary); text named .yaml, .yml or .json is taken for
    a model description."""
    with open(path, "rb") as file:
        head = file.read(4096)
    if not head:
        return "an empty file"
    if head.startswith(b"\x93NUMPY"):
        return "a NumPy array (.npy)"
    try:
        text = head.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.start < len(head) - 3:  # else a character cut at the end of the 4 KiB
            return None
        text = head[:error.start].decode("utf-8")
    if any((char < " " and char not in "\t\n\r\f") or char == "\x7f" for char in text):
        return None
    if path.lower().endswith(DESCRIPTION_SUFFIXES):
        stem = os.path.splitext(os.path.basename(path))[0]
        return f"a model description (build the model with `ara2-emu-model {path} -o {stem}.dvm`)"
    return "a text file"


# ---------------------------------------------------------------- plain values

_FIELDS: dict[type, tuple[str, ...]] = {
    ara2.DramStatistics: ("dram_size", "dram_occupancy_size", "free_size", "reserved_occupancy_size",
                          "model_occupancy_size", "tensor_occupancy_size"),
    ara2.ModelTiming: ("run_time_us", "input_time_us", "output_time_us"),
    ara2.InputQuantization: ("qn", "offset", "is_signed", "qmode"),
    ara2.OutputQuantization: ("qn", "offset", "is_signed"),
    ara2.InputPreprocess: ("mean", "scale", "bgr_to_rgb", "aspect_resize", "mirror", "center_crop"),
    ara2.InputTensorInfo: ("layer_id", "blob_id", "layer_name", "blob_name", "layer_type", "layout", "size",
                           "width", "height", "nch", "bpp", "batch_size", "quant", "preprocess"),
    ara2.OutputTensorInfo: ("layer_id", "blob_id", "fused_parent_id", "layer_name", "blob_name",
                            "layer_fused_parent_name", "layer_type", "layout", "size", "width", "height", "nch",
                            "bpp", "num_classes", "layer_output_type", "max_dynamic_id", "quant"),
    ara2.DvmMetadata: ("task", "classes", "dataset", "input", "model", "deployment", "compilation", "ara2",
                       "decoder_version", "nms", "outputs"),
    ara2.DatasetInfo: ("classes", "id", "name"),
    ara2.ModelInfo: ("model_task", "model_size", "model_version", "detection", "segmentation"),
    ara2.DeploymentInfo: ("model_name", "name", "author", "description"),
    ara2.InputSpec: ("size", "input_channels", "output_channels", "cameraadaptor"),
    ara2.OutputSpec: ("index", "name", "output_type", "decoder", "decode", "dtype", "shape", "dshape",
                      "normalized"),
    ara2.CompilationInfo: ("target", "format", "ppa"),
    ara2.PpaMetrics: ("ips", "power_mw", "cycles", "ddr_bw_mbps"),
    ara2.Ara2Info: ("qmode",),
}


def plain(value: object) -> Any:
    """The module's records as dicts of their fields (in the module's order),
    enumeration members as their names, paths as text; floats that are not
    finite become None, which JSON can carry."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        return {str(key): plain(item) for key, item in value.items()}
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (ara2.State, ara2.Abi, ara2.ModelOutputType)):
        return repr(value).rpartition(".")[2]
    fields = _FIELDS.get(type(value))
    if fields is None:
        raise TypeError(f"no plain form for {type(value).__name__}")
    record = {name: plain(getattr(value, name)) for name in fields}
    if isinstance(value, ara2.InputSpec):
        record["dimensions"] = plain(value.dimensions())
    return record


def output_dtype(bpp: int, is_signed: bool) -> str | None:
    """The element type get_output_tensor() gives an output, None when it cannot."""
    return {1: "int8" if is_signed else "uint8", 2: "int16" if is_signed else "uint16",
            4: "float32"}.get(bpp)


def render_tree(value: Any, indent: int = 2) -> list[str]:
    """Nested plain values as indented 'key: value' lines, for text reports."""
    pad = " " * indent
    lines: list[str] = []
    if isinstance(value, dict):
        for key, item in value.items():
            if item is None or item == []:
                continue  # unset in the file: JSON shows it as null, text leaves it out
            if isinstance(item, dict) or (isinstance(item, list) and any(isinstance(i, dict) for i in item)):
                lines.append(f"{pad}{key}:")
                lines.extend(render_tree(item, indent + 2))
            else:
                lines.append(f"{pad}{key}: {text_value(item)}")
    elif isinstance(value, list):
        for position, item in enumerate(value):
            lines.append(f"{pad}[{position}]")
            lines.extend(render_tree(item, indent + 2))
    else:
        lines.append(f"{pad}{text_value(value)}")
    return lines


def text_value(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, list):
        return "[" + ", ".join(text_value(item) for item in value) + "]"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def size_text(nbytes: int) -> str:
    """Bytes for people: 512 B, 3.0 KiB, 4.0 GiB."""
    value, unit = float(nbytes), "B"
    for larger in ("KiB", "MiB", "GiB", "TiB"):
        if value < 1024:
            break
        value, unit = value / 1024, larger
    return f"{nbytes} B" if unit == "B" else f"{value:.1f} {unit}"
