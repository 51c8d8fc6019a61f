"""The console scripts ``ara2-emulator`` and ``ara2-emu-dvm``.

``ara2-emulator`` runs the emulated ARA-2 proxy and points programs at it;
``ara2-emu-dvm`` is the native model-file tool shipped inside this package.
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

from ara2_emulator.daemon import VARIANTS, Daemon, DaemonError, client_env, find_executable, find_program

__all__ = ["main", "dvm_main", "state_dir"]

_PACKAGE = pathlib.Path(__file__).resolve().parent
_REPO = _PACKAGE.parents[2]
# Installed copies first (the wheel), then the source tree (a development checkout).
_DOCS = {"emulator": [_PACKAGE / "docs" / "emulator.md", _REPO / "emulator" / "README.md"],
         "models": [_PACKAGE / "docs" / "models.md", _REPO / "emulator" / "models" / "README.md"]}
_EXAMPLES = [_PACKAGE / "example", _REPO / "examples"]
EXAMPLE_FILES = ("colour_classifier.yaml", "classify.py", "test_classify.py")

DESCRIPTION = """\
Runs the emulated ARA-2 proxy daemon (process name kinara_main) and points
programs that use tallowind_ara2 at it, without accelerators or the vendor's
client library.

  ara2-emulator run -- python app.py        a private daemon for one program
  ara2-emulator start                       a daemon in the background, then
  eval "$(ara2-emulator env)"               point this shell's programs at it
  ara2-emulator status | stop
  ara2-emulator -c FILE                     the daemon itself, in the foreground
  ara2-emulator docs [emulator|models]      the daemon, its configuration and the model format
  ara2-emulator example DIR                 a model description, an application and its test

Programs find the emulator through ARA2_SOCKET (the proxy socket),
ARA2_CLIENT_LIBRARY_DIR (the directory tallowind_ara2 opens the stand-in
client library from, read when a session opens) and LD_LIBRARY_PATH (for
programs that load libaraclient.so themselves; read when a process starts).
Models are built with ara2-emu-model and inspected with ara2-emu-dvm. Under
pytest, the fixtures ara2_emulator and ara2_model do the same for tests.
"""


def state_dir(given: str | None = None) -> pathlib.Path:
    """Where ``start`` keeps the background daemon's configuration, socket,
    log and state: --state-dir, else $ARA2_EMULATOR_STATE, else a private
    directory under $XDG_RUNTIME_DIR or /tmp."""
    if given or os.environ.get("ARA2_EMULATOR_STATE"):
        return pathlib.Path(given or os.environ["ARA2_EMULATOR_STATE"])
    if os.environ.get("XDG_RUNTIME_DIR"):
        return pathlib.Path(os.environ["XDG_RUNTIME_DIR"]) / "ara2-emulator"
    return pathlib.Path(tempfile.gettempdir()) / f"ara2-emulator-{os.getuid()}"


def _alive(pid: int) -> bool:
    """Whether `pid` is a running emulator daemon (not a zombie, not a reused pid)."""
    try:
        comm = pathlib.Path(f"/proc/{pid}/comm").read_text().strip()
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0]
    except (OSError, IndexError):
        return False
    return comm == "kinara_main" and state != "Z"


def _read_state(directory: pathlib.Path) -> dict | None:
    """The started daemon's record, or None (a record of a dead daemon is
    removed; one in a directory others may write is not trusted)."""
    path = directory / "state.json"
    try:
        info = directory.lstat()
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid() or info.st_mode & 0o077:
            return None
        state = json.loads(path.read_text())
    except (OSError, ValueError):
        return None
    if not _alive(int(state.get("pid", 0))):
        path.unlink(missing_ok=True)
        return None
    return state


def _config(args: argparse.Namespace, socket: pathlib.Path) -> dict | str:
    if args.config:
        return args.config
    return {"proxy": {"interface_type": "SOCKET", "interface_socket_file": [str(socket)]},
            "emulator": {"endpoints": args.endpoints}}


def _private_state_dir(directory: pathlib.Path) -> str | None:
    """Makes sure the state directory is the user's own and nobody else's to
    write (another user could otherwise rewrite state.json, whose pid `stop`
    kills): one with a looser mode is repaired to 0700. Returns why it cannot
    be used, or None."""
    directory.mkdir(mode=0o700, parents=True, exist_ok=True)
    info = directory.lstat()
    if not stat.S_ISDIR(info.st_mode):
        return f"{directory} is not a directory"
    if info.st_uid != os.getuid():  # a shared /tmp: another user's directory is not ours to use
        return f"{directory} belongs to another user"
    if stat.S_IMODE(info.st_mode) != 0o700:
        # What others may have put there while they could is not trusted.
        (directory / "state.json").unlink(missing_ok=True)
        directory.chmod(0o700)
        print(f"ara2-emulator: {directory} was open to other users; it is private again (mode 0700)",
              file=sys.stderr)
    return None


def _start(args: argparse.Namespace) -> int:
    directory = state_dir(args.state_dir)
    problem = _private_state_dir(directory)
    if problem:
        print(f"ara2-emulator: {problem}; choose --state-dir", file=sys.stderr)
        return 1
    running = _read_state(directory)
    if running:
        print(f"ara2-emulator: already running (pid {running['pid']}, socket {running['socket']}); "
              "`ara2-emulator stop` first", file=sys.stderr)
        return 1
    daemon = Daemon(_config(args, directory / "proxy.sock"), workdir=directory, detach=True)
    daemon.start()
    state = {"pid": daemon.pid, "socket": str(daemon.socket_path) if daemon.socket_path else None,
             "tcp": [f"{host}:{port}" for host, port in daemon.tcp_addresses], "log": str(daemon.log_path)}
    (directory / "state.json").write_text(json.dumps(state) + "\n")
    print(f"ara2-emulator started: pid {state['pid']}, socket {state['socket']}, log {state['log']}")
    where = f" --state-dir {shlex.quote(args.state_dir)}" if args.state_dir else ""
    print(f'point programs at it with:  eval "$(ara2-emulator env{where})"')
    return 0


def _stop(args: argparse.Namespace) -> int:
    directory = state_dir(args.state_dir)
    state = _read_state(directory)
    if state is None:
        print(f"ara2-emulator: no daemon started from {directory} is running", file=sys.stderr)
        return 1
    pid = int(state["pid"])
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + args.timeout
    while _alive(pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    if _alive(pid):
        os.kill(pid, signal.SIGKILL)
    (directory / "state.json").unlink(missing_ok=True)
    print(f"ara2-emulator stopped (pid {pid})")
    return 0


def _status(args: argparse.Namespace) -> int:
    state = _read_state(state_dir(args.state_dir))
    if state is None:
        print("not running")
        return 3
    print(f"running: pid {state['pid']}, socket {state['socket']}, log {state['log']}")
    return 0


def _env(args: argparse.Namespace) -> int:
    state = _read_state(state_dir(args.state_dir))
    env = client_env(state["socket"] if state else None, args.variant, base={})
    print(f"export ARA2_CLIENT_LIBRARY_DIR={shlex.quote(env['ARA2_CLIENT_LIBRARY_DIR'])}")
    print(f"export LD_LIBRARY_PATH={shlex.quote(env['LD_LIBRARY_PATH'])}" + "${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}")
    if "ARA2_SOCKET" in env:
        print(f"export ARA2_SOCKET={shlex.quote(env['ARA2_SOCKET'])}")
    else:
        print("# no daemon started (ara2-emulator start): ARA2_SOCKET is left as it is")
    return 0


def _run(args: argparse.Namespace) -> int:
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        print("ara2-emulator run: no program given (ara2-emulator run -- PROGRAM ARGS...)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="ara2-emulator-run-") as workdir:
        with Daemon(_config(args, pathlib.Path(workdir) / "proxy.sock"), workdir=workdir) as daemon:
            try:
                child = subprocess.Popen(command, env=client_env(daemon.socket_path, args.variant))
            except OSError as exc:
                print(f"ara2-emulator run: cannot start {command[0]}: {exc.strerror}", file=sys.stderr)
                return 127
            while True:
                try:
                    status = child.wait()
                    break
                except KeyboardInterrupt:
                    continue  # the program got the interrupt too; its exit decides
    return 128 - status if status < 0 else status


def _docs(args: argparse.Namespace) -> int:
    path = next((p for p in _DOCS[args.topic] if p.is_file()), None)
    if path is None:
        print(f"ara2-emulator: the {args.topic} documentation is not installed", file=sys.stderr)
        return 1
    sys.stdout.write(path.read_text(encoding="utf-8"))
    return 0


def _example(args: argparse.Namespace) -> int:
    source = next((d for d in _EXAMPLES if all((d / name).is_file() for name in EXAMPLE_FILES)), None)
    if source is None:
        print("ara2-emulator: the example files are not installed", file=sys.stderr)
        return 1
    target = pathlib.Path(args.directory)
    existing = [name for name in EXAMPLE_FILES if (target / name).exists()]
    if existing:
        print(f"ara2-emulator: {target} already has {', '.join(existing)}; nothing written", file=sys.stderr)
        return 1
    target.mkdir(parents=True, exist_ok=True)
    for name in EXAMPLE_FILES:
        shutil.copyfile(source / name, target / name)
        print(target / name)
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="ara2-emulator", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="action", metavar="COMMAND", required=True)

    def daemon_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_mutually_exclusive_group()
        group.add_argument("--endpoints", type=int, default=1, metavar="N",
                           help="number of emulated accelerators (default 1)")
        group.add_argument("--config", metavar="FILE",
                           help="a full daemon configuration (see `ara2-emulator docs`)")

    def state_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--state-dir", metavar="DIR",
                         help="where the background daemon's socket, log and state live "
                              "(default: $ARA2_EMULATOR_STATE, else $XDG_RUNTIME_DIR/ara2-emulator, "
                              "else /tmp/ara2-emulator-UID)")

    def variant_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--variant", default="v1_3", choices=VARIANTS,
                         help="which build of the stand-in client library (default v1_3)")

    sub = commands.add_parser("start", help="start a daemon in the background")
    daemon_options(sub)
    state_option(sub)
    sub.set_defaults(handler=_start)
    sub = commands.add_parser("stop", help="stop the daemon `start` started")
    state_option(sub)
    sub.add_argument("--timeout", type=float, default=15.0, help="seconds before SIGKILL (default 15)")
    sub.set_defaults(handler=_stop)
    sub = commands.add_parser("status", help="whether the started daemon runs (exit status 3 if not)")
    state_option(sub)
    sub.set_defaults(handler=_status)
    sub = commands.add_parser("env", help="print the shell exports that point programs at the emulator")
    state_option(sub)
    variant_option(sub)
    sub.set_defaults(handler=_env)
    sub = commands.add_parser("run", help="run PROGRAM against a private daemon, then stop it",
                              usage="ara2-emulator run [--endpoints N | --config FILE] [--variant V] "
                                    "-- PROGRAM [ARGS...]")
    daemon_options(sub)
    variant_option(sub)
    sub.add_argument("command", nargs=argparse.REMAINDER, help="the program and its arguments, after --")
    sub.set_defaults(handler=_run)
    sub = commands.add_parser("docs", help="print the emulator's documentation")
    sub.add_argument("topic", nargs="?", default="emulator", choices=sorted(_DOCS))
    sub.set_defaults(handler=_docs)
    sub = commands.add_parser("example", help="write an example model description, application and test")
    sub.add_argument("directory", metavar="DIR")
    sub.set_defaults(handler=_example)
    return parser


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and (argv[0] in ("-c", "--config") or argv[0].startswith("--config=")):
        try:
            daemon = find_executable()
        except DaemonError as exc:
            print(f"ara2-emulator: {exc}", file=sys.stderr)
            return 1
        os.execv(daemon, ["ara2-emulator", *argv])
    args = _parser().parse_args(argv)
    try:
        return args.handler(args)
    except DaemonError as exc:
        print(f"ara2-emulator: {exc}", file=sys.stderr)
        return 1


def dvm_main(argv: list[str] | None = None) -> int:
    """``ara2-emu-dvm``: runs the native tool with the given arguments."""
    argv = sys.argv[1:] if argv is None else argv
    try:
        tool = find_program("ara2-emu-dvm")
    except DaemonError as exc:
        print(f"ara2-emu-dvm: {exc}", file=sys.stderr)
        return 1
    sys.stdout.flush()
    os.execv(tool, ["ara2-emu-dvm", *argv])
