"""Start and stop the emulated ARA-2 proxy (``ara2-emulator``) from Python.

Example::

    from ara2_emulator.daemon import Daemon

    with Daemon({"proxy": {"interface_socket_file": ["/tmp/ara2.sock"]},
                 "emulator": {"endpoints": 2}}) as daemon:
        ...  # point the application at daemon.socket_path

The configuration is the proxy's YAML format (a ``proxy:`` section saying
where to listen) plus an optional ``emulator:`` section; see
emulator/README.md. It may be given as a dict, which is written next to the
log, or as the path of an existing file.
"""
from __future__ import annotations

import json
import os
import pathlib
import re
import signal
import subprocess
import tempfile
import time

__all__ = ["Daemon", "DaemonError", "client_env", "find_executable", "find_program", "library_dir", "VARIANTS"]

#: Builds of the stand-in client library, by directory name.
VARIANTS = ("v1_1", "v1_3", "v1_2", "v2_0", "no_version", "no_async", "x86_64")

_PACKAGE = pathlib.Path(__file__).resolve().parent
_REPO = _PACKAGE.parents[2]


class DaemonError(RuntimeError):
    """The daemon could not be started; the message carries its log."""


def _build_dirs() -> list[pathlib.Path]:
    dirs = []
    if os.environ.get("ARA2_BUILD"):
        dirs.append(pathlib.Path(os.environ["ARA2_BUILD"]) / "emulator")
    dirs.append(_REPO / "build" / "emulator")
    dirs.append(_PACKAGE)  # an installed wheel carries bin/ and lib/ here
    return dirs


def find_program(name: str) -> pathlib.Path:
    """A native program of the emulator (``ara2-emulator``, ``ara2-emu-dvm``):
    the build tree first, else the copy installed with this package."""
    for base in _build_dirs():
        candidate = base / "bin" / name
        if candidate.is_file():
            return candidate
    raise DaemonError(f"{name} was not found; build the project or reinstall tallowind-ara2")


def find_executable() -> pathlib.Path:
    """The ``ara2-emulator`` daemon: $ARA2_EMULATOR, else find_program()."""
    if os.environ.get("ARA2_EMULATOR"):
        return pathlib.Path(os.environ["ARA2_EMULATOR"])
    return find_program("ara2-emulator")


def library_dir(variant: str = "v1_3") -> pathlib.Path:
    """The directory holding the stand-in client library build ``variant``
    (one of VARIANTS), for LD_LIBRARY_PATH."""
    if variant not in VARIANTS:
        raise ValueError(f"unknown variant {variant!r}; expected one of {', '.join(VARIANTS)}")
    for base in _build_dirs():
        candidate = base / "lib" / variant
        if candidate.is_dir():
            return candidate
    raise DaemonError(f"the stand-in client library {variant} was not found; build the project")


def client_env(socket_path: str | os.PathLike | None, variant: str = "v1_3",
               base: dict[str, str] | None = None) -> dict[str, str]:
    """``base`` (default: os.environ) plus what points tallowind_ara2 at the
    emulator: ARA2_CLIENT_LIBRARY_DIR (read when a session opens the library,
    so it works in a running interpreter), LD_LIBRARY_PATH (read only when a
    process starts; for programs that load libaraclient.so themselves) and,
    given a socket, ARA2_SOCKET."""
    env = dict(os.environ if base is None else base)
    lib = str(library_dir(variant))
    env["ARA2_CLIENT_LIBRARY_DIR"] = lib
    env["LD_LIBRARY_PATH"] = os.pathsep.join([lib] + ([env["LD_LIBRARY_PATH"]] if env.get("LD_LIBRARY_PATH") else []))
    if socket_path is not None:
        env["ARA2_SOCKET"] = str(socket_path)
    return env


class Daemon:
    """One ``ara2-emulator`` process.

    ``config`` is a dict (written to ``workdir/proxy.yaml``) or a path.
    ``start()`` returns once the daemon listens on every address; TCP ports
    given as 0 are resolved to the ports it took (``tcp_addresses``).
    ``stop()`` sends SIGTERM and waits; the daemon removes its socket files.
    Its log (one line per connection and error) is ``log_path``. The daemon
    ends with the process that started it, even one that crashes or is killed
    before its cleanup; ``with Daemon(...) as daemon:`` stops it as soon as
    the block is left. With ``detach=True`` it runs in a session of its own
    and outlives the starting process (``ara2-emulator start``).
    """

    def __init__(self, config: dict | str | os.PathLike, *, workdir: str | os.PathLike | None = None,
                 executable: str | os.PathLike | None = None, startup_timeout: float = 15.0,
                 detach: bool = False) -> None:
        self._tmp = None
        if workdir is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="ara2-emulator-")
            workdir = self._tmp.name
        self.workdir = pathlib.Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        if isinstance(config, dict):
            self.config = config
            self.config_path = self.workdir / "proxy.yaml"
            # JSON is a subset of the YAML the daemon reads, so no YAML writer is needed.
            self.config_path.write_text(json.dumps(config, indent=2) + "\n")
        else:
            self.config = None
            self.config_path = pathlib.Path(config)
        self.executable = pathlib.Path(executable) if executable else find_executable()
        self.log_path = self.workdir / "ara2-emulator.log"
        self.startup_timeout = startup_timeout
        self.detach = detach  # own session: outlives this process and the terminal's Ctrl-C
        self.process: subprocess.Popen | None = None
        self.socket_paths: list[pathlib.Path] = []
        self.tcp_addresses: list[tuple[str, int]] = []

    @property
    def pid(self) -> int | None:
        """Process id while running."""
        return self.process.pid if self.process else None

    @property
    def socket_path(self) -> pathlib.Path | None:
        """The first UNIX socket it listens on."""
        return self.socket_paths[0] if self.socket_paths else None

    def log_text(self) -> str:
        """Everything the daemon logged so far."""
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def start(self) -> "Daemon":
        if self.process is not None:
            raise DaemonError("the daemon is already running")
        with open(self.log_path, "ab") as log:
            start = log.tell()  # a restart appends: only this run's lines count
            command = [str(self.executable), "-c", str(self.config_path)]
            if not self.detach:  # it ends with this process, however this process ends
                command += ["--parent-pid", str(os.getpid())]
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                            start_new_session=self.detach)
        deadline = time.monotonic() + self.startup_timeout
        while True:
            with open(self.log_path, "rb") as log:
                log.seek(start)
                text = log.read().decode(errors="replace")
            if re.search(r"^ara2-emulator: ready", text, re.M):
                break
            if self.process.poll() is not None:
                code = self.process.returncode
                self.process = None
                raise DaemonError(f"ara2-emulator exited with status {code}:\n{text}")
            if time.monotonic() > deadline:
                self.stop()
                raise DaemonError(f"ara2-emulator did not become ready:\n{text}")
            time.sleep(0.01)
        self.socket_paths = [pathlib.Path(p) for p in re.findall(r"listening on unix:(.*)$", text, re.M)]
        self.tcp_addresses = [(h, int(p)) for h, p in
                              re.findall(r"listening on tcp:([\d.]+):(\d+)$", text, re.M)]
        return self

    def stop(self, timeout: float = 15.0) -> int | None:
        """Stops the daemon (SIGTERM, then SIGKILL after ``timeout``); returns its exit status."""
        process, self.process = self.process, None
        if process is None:
            return None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def close(self) -> None:
        self.stop()
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self) -> "Daemon":
        return self.start()

    def __exit__(self, *exc) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        state = f"pid={self.pid}" if self.process else "stopped"
        return f"Daemon({state}, config={str(self.config_path)!r})"
