"""`ara2 doctor`: every check a support engineer would ask for, in order, each
with a verdict (pass, warn, fail), what was found and how to fix it: the
client library, the proxy, the endpoints, memory for tensors, the Python
side and, with --model, one inference."""
from __future__ import annotations

import argparse
import errno
import grp
import os
import pwd
import re
import resource
import socket
import stat
import sys
import time
from dataclasses import asdict, dataclass
from typing import Any, Callable

import tallowind_ara2 as ara2

from .common import (CliError, Document, add_connection_options, describe, explicit_target, model_file, natural,
                     plain, positive, size_text)

HELP = "check that this installation can run models, and say how to fix what cannot"
DESCRIPTION = (f"{HELP.capitalize()}: the client library, the proxy, the endpoints, memory for tensors and the "
               "Python side; with --model, one inference. Exit status 1 when a check failed.")

PASS, WARN, FAIL = "pass", "warn", "fail"
AREAS = ("library", "proxy", "endpoints", "memory", "python", "model")

#: States an endpoint can run models in.
WORKING_STATES = {"Idle", "Active", "ActiveBoosted", "ActiveSlow", "Init"}
#: The module makes its own tensors in shared memory; each holds its descriptor and a duplicate for the library.
DESCRIPTORS_PER_TENSOR = 2
#: Descriptors a process needs besides tensors: the interpreter, the proxy connection, files.
DESCRIPTORS_BASE = 64
#: Tensors assumed per model when no --model says.
TENSORS_PER_MODEL = 8
#: Room in /dev/shm asked for when no --model says how much its tensors take.
SHM_ROOM = 64 << 20
DMA_HEAPS = ("/dev/dma_heap/linux,cma", "/dev/dma_heap/system")
NUMPY_FLOOR = (1, 22)
#: Entries the module does without, and what is lost without them.
OPTIONAL_ENTRIES = {"dv_shmfd_unregister": "tensor registrations are kept until the session closes",
                    "dv_get_client_lib_version": "the generation cannot be detected, so ARA2_ABI must name it"}
EMULATOR_FIX = "for the emulator, `eval \"$(ara2-emulator env)\"` sets it"


@dataclass
class Check:
    area: str
    name: str
    status: str
    found: str
    fix: str | None = None


class Checks:
    def __init__(self) -> None:
        self.items: list[Check] = []

    def add(self, area: str, name: str, status: str, found: str, fix: str | None = None) -> str:
        self.items.append(Check(area, name, status, found, fix))
        return status

    def ordered(self) -> list[Check]:
        return sorted(self.items, key=lambda check: AREAS.index(check.area))


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_connection_options(parser)
    parser.add_argument("--model", metavar="PATH", help="also load this model, run one inference on zeros, unload")
    parser.add_argument("--endpoint", type=natural, default=0, metavar="N",
                        help="the endpoint --model runs on (default 0)")
    parser.add_argument("--models", type=positive, default=8, metavar="N",
                        help="models the program will hold at once, for the descriptor and memory checks "
                             "(default 8)")


# ---------------------------------------------------------------- the client library


def _found_through(info: dict[str, Any]) -> str:
    if info["directory"] is not None:
        return f"from ARA2_CLIENT_LIBRARY_DIR={info['directory']}"
    directory = os.path.dirname(os.path.abspath(info["path"]))
    search = [os.path.abspath(entry) for entry in os.environ.get("LD_LIBRARY_PATH", "").split(":") if entry]
    if directory in search:
        return "through LD_LIBRARY_PATH"
    return "through the loader's cache or a system library directory"


def check_library(checks: Checks) -> dict[str, Any] | None:
    try:
        info: dict[str, Any] = ara2.library_info()
    except ara2.Ara2Error as error:
        notes = [line.strip() for note in getattr(error, "__notes__", []) for line in note.splitlines()[1:]
                 if line.startswith("  ")]
        found = describe(error) + "".join(f"; {line}" for line in notes)
        text = str(error)
        if text.startswith("ARA2_ABI"):
            fix = "unset ARA2_ABI, or set it to 1.1 or 1.3"
        elif "DVAPI" in text:
            fix = ("install a client library of DVAPI 1.1 or 1.3 (the SDK release of the proxy), or set ARA2_ABI to "
                   "1.1 or 1.3 if you know which one this library implements")
        else:
            fix = ("install the client library, or set ARA2_CLIENT_LIBRARY_DIR to its directory "
                   f"({EMULATOR_FIX})")
        checks.add("library", "client library", FAIL, found, fix)
        return None
    path = os.path.abspath(info["path"])
    checks.add("library", "client library", PASS, f"{path} (opened as {info['name']} {_found_through(info)})")
    generation = plain(info["abi"])
    reported = info["dvapi_version"]
    if info["abi_forced"]:
        agrees = reported is not None and reported.startswith(generation[1:].replace("_", ".") + ".")
        checks.add("library", "generation", PASS if agrees else WARN,
                   f"ARA2_ABI forces {generation}; the library reports "
                   f"{'DVAPI ' + reported if reported else 'no version'}",
                   None if agrees else "unset ARA2_ABI unless the library's records are known to be of that layout")
    else:
        checks.add("library", "generation", PASS, f"DVAPI {reported}, supported ({generation})")
    called = [entry["name"] for entry in info["missing"] if entry["called"] and entry["name"] not in OPTIONAL_ENTRIES]
    optional = [entry["name"] for entry in info["missing"] if entry["name"] in OPTIONAL_ENTRIES]
    unused = len(info["missing"]) - len(called) - len(optional)
    others = f"; lacks {unused} function(s) the module never calls" if unused else ""
    if called:
        checks.add("library", "entry points", FAIL,
                   f"lacks {', '.join(called)}, which the module calls: the operations using "
                   f"{'them' if len(called) > 1 else 'it'} fail{others}",
                   "install a complete client library of the proxy's SDK release")
    elif optional:
        checks.add("library", "entry points", WARN,
                   "; ".join(f"lacks {name}: {OPTIONAL_ENTRIES[name]}" for name in optional) + others,
                   "install the client library of the proxy's SDK release")
    else:
        checks.add("library", "entry points", PASS, f"all functions the module calls are present{others}")
    return info


# ---------------------------------------------------------------- the proxy


def _owner(info: os.stat_result) -> str:
    try:
        user = pwd.getpwuid(info.st_uid).pw_name
    except KeyError:
        user = str(info.st_uid)
    try:
        group = grp.getgrgid(info.st_gid).gr_name
    except KeyError:
        group = str(info.st_gid)
    return f"mode {stat.S_IMODE(info.st_mode):04o}, owner {user}:{group}"


def check_socket(checks: Checks, path: str) -> bool:
    """Whether a UNIX socket path is there and this process may connect to it."""
    try:
        info = os.stat(path)
    except OSError as error:
        fix = ("start the proxy, or set ARA2_SOCKET to the socket it listens on (`ara2 scan` lists them)"
               if error.errno == errno.ENOENT else "give this user search permission on the socket's directory")
        checks.add("proxy", "socket", FAIL, f"{path}: {error.strerror}", fix)
        return False
    if not stat.S_ISSOCK(info.st_mode):
        checks.add("proxy", "socket", FAIL, f"{path} is not a socket", "point ARA2_SOCKET at the proxy's socket")
        return False
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    try:
        probe.settimeout(5)
        probe.connect(path)
    except OSError as error:
        if error.errno in (errno.EACCES, errno.EPERM):
            checks.add("proxy", "socket", FAIL,
                       f"{path}: this user (uid {os.geteuid()}) may not connect ({_owner(info)})",
                       "run as a user of the socket's group, or have the proxy's service create it with a "
                       "mode that lets this user write to it")
        else:
            checks.add("proxy", "socket", FAIL, f"{path}: {error.strerror} (nobody answers: a proxy that exited "
                       "left it behind?)", "start the proxy")
        return False
    finally:
        probe.close()
    checks.add("proxy", "socket", PASS, f"{path}: accepts connections ({_owner(info)})")
    return True


def _target(checks: Checks, args: argparse.Namespace) -> tuple[str, Callable[[], ara2.Session], str | None]:
    """The address to check (and the UNIX path behind it): the one the options
    name, else the one Session.connect() would use, else a running proxy's."""
    try:
        proxies = ara2.discover()
    except ara2.Ara2Error as error:
        checks.add("proxy", "running proxies", WARN, f"discovery failed: {describe(error)}")
        proxies = []
    else:
        listed = "; ".join(f"pid {proxy.pid} at {', '.join(str(a) for a in proxy.endpoints) or '?'}"
                           for proxy in proxies)
        checks.add("proxy", "running proxies", PASS if proxies else WARN,
                   listed or "no proxy process (kinara_main) on this host",
                   None if proxies else "start the proxy (or check --tcp for one on another host)")
    named = explicit_target(args)
    if named is not None:
        address, open_session = named
        return address, open_session, args.socket
    path = ara2.socket_path()
    why = ("$ARA2_SOCKET" if "ARA2_SOCKET" in os.environ else
           "the first of SOCKET_PATHS that exists" if os.path.exists(path) else
           "DEFAULT_SOCKET, as none of SOCKET_PATHS exists")
    elsewhere = [proxy for proxy in proxies for a in proxy.endpoints if a.kind == "unix" and str(a.path) != path]
    if "ARA2_SOCKET" not in os.environ and not os.path.exists(path) and elsewhere:
        proxy = elsewhere[0]
        other = next(str(a.path) for a in proxy.endpoints if a.kind == "unix")
        checks.add("proxy", "address", WARN,
                   f"Session.connect() would use {path} ({why}), which does not exist; proxy pid {proxy.pid} "
                   f"listens on {other}", f"export ARA2_SOCKET={other}")
        return f"unix:{other}", proxy.connect, other
    checks.add("proxy", "address", PASS, f"Session.connect() uses {path} ({why})")
    return f"unix:{path}", ara2.Session.connect, path


def check_proxy(checks: Checks, args: argparse.Namespace, library: dict[str, Any] | None) -> ara2.Session | None:
    address, open_session, path = _target(checks, args)
    if path is not None and not check_socket(checks, path):
        return None
    if library is None:
        return None  # no session without a library: its check says why
    try:
        session = open_session()
    except ara2.Ara2Error as error:
        checks.add("proxy", "session", FAIL, f"{address}: {describe(error)}", "is the proxy running? `ara2 scan`")
        return None
    checks.add("proxy", "session", PASS, f"opened at {address} ({session.socket_type})")
    try:
        versions = dict(sorted(session.versions().items()))
    except ara2.Ara2Error as error:
        checks.add("proxy", "versions", WARN, f"versions(): {describe(error)}")
        return session
    listed = ", ".join(f"{name} {value}" for name, value in versions.items())
    proxy_side, ours = versions.get("client_lib"), session.dvapi_version
    if proxy_side is not None and ours is not None and proxy_side != ours:
        checks.add("proxy", "versions", WARN,
                   f"the proxy reports client_lib {proxy_side}, the client library loaded here "
                   f"({os.path.abspath(library['path'])}) reports {ours}; {listed}",
                   "install the client library of the proxy's SDK release (or the proxy of the library's)")
    else:
        checks.add("proxy", "versions", PASS, listed or "the proxy reports no versions")
    return session


# ---------------------------------------------------------------- endpoints


def dram_problem(dram: dict[str, int]) -> str | None:
    """What is wrong with an endpoint's DRAM figures, or None when they add up."""
    occupied = dram["reserved_occupancy_size"] + dram["model_occupancy_size"] + dram["tensor_occupancy_size"]
    if dram["dram_size"] == 0:
        return "DRAM size 0"
    if dram["free_size"] > dram["dram_size"]:
        return f"free {dram['free_size']} exceeds the size {dram['dram_size']}"
    if occupied != dram["dram_occupancy_size"]:
        return (f"reserved, model and tensor occupancy add up to {occupied}, not the occupancy "
                f"{dram['dram_occupancy_size']}")
    if dram["free_size"] + dram["dram_occupancy_size"] != dram["dram_size"]:
        return (f"free {dram['free_size']} and occupied {dram['dram_occupancy_size']} do not add up to the size "
                f"{dram['dram_size']}")
    return None


def check_endpoints(checks: Checks, session: ara2.Session) -> None:
    try:
        endpoints = session.list_endpoints()
    except ara2.Ara2Error as error:
        checks.add("endpoints", "endpoints", FAIL, f"list_endpoints(): {describe(error)}")
        return
    if not endpoints:
        checks.add("endpoints", "endpoints", FAIL, "the proxy reports no endpoints",
                   "check that the device is present (lspci) and its driver loaded (pci_driver version above)")
        return
    checks.add("endpoints", "endpoints", PASS, f"{len(endpoints)} endpoint(s)")
    for index, endpoint in enumerate(endpoints):
        name = f"endpoint {index}"
        try:
            state = plain(endpoint.check_status())
            dram = plain(endpoint.dram_statistics())
        except ara2.Ara2Error as error:
            checks.add("endpoints", name, FAIL, describe(error), "check the device and the proxy's log")
            continue
        found = f"{state}; DRAM {size_text(dram['free_size'])} free of {size_text(dram['dram_size'])}"
        problem = dram_problem(dram)
        if problem is not None:
            checks.add("endpoints", name, FAIL, f"{found}; figures that do not add up: {problem}",
                       "update the firmware and driver to the proxy's SDK release")
        elif state not in WORKING_STATES:
            checks.add("endpoints", name, WARN, f"{found}; state {state} runs no models",
                       "check the device's cooling and the proxy's log; reset the device")
        else:
            checks.add("endpoints", name, PASS, found)


# ---------------------------------------------------------------- memory for tensors


def check_memory(checks: Checks, tensors_per_model: int, tensor_bytes: int | None, models: int) -> None:
    opened, refused = [], []
    for heap in DMA_HEAPS:
        try:
            os.close(os.open(heap, os.O_RDONLY | os.O_CLOEXEC))
            opened.append(heap)
        except FileNotFoundError:
            pass
        except OSError as error:
            refused.append(f"{heap} ({error.strerror})")
    if opened:
        checks.add("memory", "DMA heap", PASS, ", ".join(opened))
    else:
        checks.add("memory", "DMA heap", WARN,
                   (f"present but not usable: {', '.join(refused)}" if refused else "no DMA heap (/dev/dma_heap)")
                   + "; allocate_tensors() uses heap memory instead, and 'dma' fails",
                   "give this user read access to the heap's device" if refused
                   else "load the DMA heap driver and give this user read access to /dev/dma_heap/system")

    needed = SHM_ROOM if tensor_bytes is None else tensor_bytes * models
    try:
        probe = os.open("/dev/shm", os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600)
        os.close(probe)
        space = os.statvfs("/dev/shm")
    except OSError as error:
        checks.add("memory", "/dev/shm", FAIL, f"not writable: {error.strerror}; 'shm' tensors cannot be made",
                   "mount a writable tmpfs on /dev/shm (mode 1777)")
    else:
        free = space.f_bavail * space.f_frsize
        wanted = (f"{size_text(needed)} for the tensors of {models} model(s)" if tensor_bytes is not None
                  else f"{size_text(needed)}")
        checks.add("memory", "/dev/shm", PASS if free >= needed else WARN,
                   f"writable, {size_text(free)} free ({wanted} wanted)",
                   None if free >= needed else "enlarge /dev/shm (mount -o remount,size=...)")

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    per_model = tensors_per_model * DESCRIPTORS_PER_TENSOR

    def need(count: int) -> int:
        return DESCRIPTORS_BASE + per_model * count

    def text(limit: int) -> str:
        return "unlimited" if limit == resource.RLIM_INFINITY else str(limit)

    found = (f"RLIMIT_NOFILE {text(soft)} (hard {text(hard)}); {models} model(s) of {tensors_per_model} tensors "
             f"need about {need(models)}")
    fix = f"raise it: `ulimit -n {need(models)}` before the program starts, or resource.setrlimit in it"
    if hard != resource.RLIM_INFINITY and hard < need(models):
        fix = f"raise the hard limit (limits.conf, or LimitNOFILE= of the service) to {need(models)}"
    if soft != resource.RLIM_INFINITY and soft < need(1):
        checks.add("memory", "descriptors", FAIL, found + "; not enough for one", fix)
    elif soft != resource.RLIM_INFINITY and soft < need(models):
        checks.add("memory", "descriptors", WARN, found, fix)
    else:
        checks.add("memory", "descriptors", PASS, found)


# ---------------------------------------------------------------- the Python side


def glibc_floor(path: str) -> str | None:
    """The newest glibc symbol version a shared object asks for: the oldest glibc it runs on."""
    with open(path, "rb") as file:
        found = {tuple(int(part) for part in match.group(1).split(b"."))
                 for match in re.finditer(rb"GLIBC_(\d+(?:\.\d+)+)", file.read())}
    return ".".join(map(str, max(found))) if found else None


def check_python(checks: Checks) -> None:
    checks.add("python", "interpreter", PASS,
               f"{sys.implementation.name} {sys.version.split()[0]} at {sys.executable}")
    try:
        import numpy
    except ImportError as error:
        checks.add("python", "numpy", FAIL, f"not importable: {error}", "pip install 'numpy>=1.22'")
    else:
        parts = tuple(int(part) for part in re.findall(r"\d+", numpy.__version__)[:2])
        good = parts >= NUMPY_FLOOR
        checks.add("python", "numpy", PASS if good else FAIL, f"{numpy.__version__} at {numpy.__file__}",
                   None if good else "pip install 'numpy>=1.22'")
    build = ara2.build_info()
    module_path = ara2.__file__ or "?"
    floor = glibc_floor(module_path) if os.path.isfile(module_path) else None
    running = os.confstr("CS_GNU_LIBC_VERSION") if "CS_GNU_LIBC_VERSION" in os.confstr_names else None
    checks.add("python", "module", PASS,
               f"tallowind_ara2 {build['version']} at {module_path}; built by {build['compiler']} with "
               f"{build['standard_library']}; needs glibc {floor or '?'} (running {running or '?'}); "
               f"dequantisation: {build['dequantize_kernel']} (built: {', '.join(build['dequantize_kernels'])})")


# ---------------------------------------------------------------- one inference


@dataclass
class ModelFigures:
    tensors: int
    tensor_bytes: int


def _timed(action: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    result = action()
    return result, (time.perf_counter() - start) * 1e3


def check_model(checks: Checks, session: ara2.Session | None, path: str, index: int) -> ModelFigures | None:
    try:
        absolute = model_file(path)
    except CliError as error:
        checks.add("model", "file", FAIL, str(error), "give the path of a readable .dvm file")
        return None
    if session is None:
        checks.add("model", "load", FAIL, "not tried: no session", "fix the proxy first")
        return None
    what = "load"
    try:
        endpoints = session.list_endpoints()
        if index >= len(endpoints):
            checks.add("model", what, FAIL, f"endpoint {index} out of range: the proxy has {len(endpoints)}",
                       "choose another --endpoint")
            return None
        model, took = _timed(lambda: endpoints[index].load_model(absolute))
        with model:
            checks.add("model", what, PASS, f"{absolute} on endpoint {index} in {took:.1f} ms: "
                       f"{model.n_inputs} input(s), {model.n_outputs} output(s)")
            what = "allocate"
            _, took = _timed(model.allocate_tensors)
            figures = ModelFigures(model.n_inputs + model.n_outputs,
                                   sum(model.input_size(i) for i in range(model.n_inputs))
                                   + sum(model.output_size(i) for i in range(model.n_outputs)))
            checks.add("model", what, PASS, f"{size_text(figures.tensor_bytes)} in {figures.tensors} tensors "
                       f"({model.input_tensor_memory(0) if model.n_inputs else '-'}) in {took:.1f} ms")
            what = "inference"
            import numpy

            for i in range(model.n_inputs):
                model.set_input_tensor(i, numpy.zeros(model.input_size(i), dtype=numpy.uint8))
            timing, took = _timed(model.run)
            for i in range(model.n_outputs):
                model.get_output_tensor(i)
            checks.add("model", what, PASS, f"run() on zeros took {took:.2f} ms; the device: input "
                       f"{timing.input_time_us} us, run {timing.run_time_us} us, output {timing.output_time_us} us")
            what = "unload"
            _, took = _timed(model.close)
        checks.add("model", what, PASS, f"closed in {took:.1f} ms")
        return figures
    except ara2.Ara2Error as error:
        checks.add("model", what, FAIL, describe(error), "`ara2 inspect MODEL` shows what the model needs")
        return None


# ---------------------------------------------------------------- the command


def execute(args: argparse.Namespace) -> tuple[Document, int]:
    checks = Checks()
    library = check_library(checks)
    session = check_proxy(checks, args, library)
    figures = None
    try:
        if session is not None:
            check_endpoints(checks, session)
        if args.model is not None:
            figures = check_model(checks, session, args.model, args.endpoint)
    finally:
        if session is not None:
            session.close()
    check_memory(checks, figures.tensors if figures else TENSORS_PER_MODEL,
                 figures.tensor_bytes if figures else None, args.models)
    check_python(checks)
    items = checks.ordered()
    counts = {status: sum(check.status == status for check in items) for status in (PASS, WARN, FAIL)}
    document: Document = {"checks": [asdict(check) for check in items], "counts": counts}
    failed = [check.name for check in items if check.status == FAIL]
    if not failed:
        return document, 0
    document["error"] = {"message": f"{len(failed)} check(s) failed: {', '.join(failed)}", "type": None}
    return document, 1


def render(document: Document) -> list[str]:
    lines: list[str] = []
    area = None
    for check in document["checks"]:
        if check["area"] != area:
            area = check["area"]
            lines.append(area)
        lines.append(f"  {check['status']:<4}  {check['name']}: {check['found']}")
        if check["fix"] is not None and check["status"] != PASS:
            lines.append(f"        fix: {check['fix']}")
    counts = document["counts"]
    lines.append(f"{counts[PASS]} passed, {counts[WARN]} warning(s), {counts[FAIL]} failed")
    return lines
