"""pytest fixtures for testing applications of tallowind_ara2 on the emulator.

Installed with tallowind-ara2 (registered under the ``pytest11`` entry point,
so nothing needs to be imported); without the installed package, load it
with ``-p ara2_emulator.pytest_plugin``.

- ``ara2_emulator`` (session): runs one emulator daemon for the test session
  and points tallowind_ara2 in this process at it (ARA2_SOCKET and
  ARA2_CLIENT_LIBRARY_DIR are set until the session ends), so code under
  test connects with ``Session.connect()`` as it would on a real host.
  Attributes: ``socket_path``, ``pid``, ``daemon``
  (ara2_emulator.daemon.Daemon), ``library_dir``, and ``env``: the
  environment for child processes (LD_LIBRARY_PATH included).
- ``ara2_emulator_config`` (session): the daemon configuration; override it
  in a conftest.py to change the emulated hardware, for example
  ``{"emulator": {"endpoints": 2}}`` (``ara2-emulator docs`` lists the keys).
  A ``proxy`` section with a private socket is added when it has none.
- ``ara2_model``: ``ara2_model(description, name="model") -> pathlib.Path``
  builds an emulated .dvm file in the test's tmp_path from a dict or a YAML
  or JSON description file (``ara2-emulator docs models``).

Example::

    def test_classifies(ara2_emulator, ara2_model):
        model = ara2_model("colour_classifier.yaml")
        assert my_app.classify(model) == "red"
"""
from __future__ import annotations

import os
import pathlib

import pytest

from ara2_emulator.daemon import Daemon, client_env


class EmulatorHandle:
    """What the ``ara2_emulator`` fixture gives a test."""

    def __init__(self, daemon: Daemon, env: dict[str, str]) -> None:
        self.daemon = daemon
        self.env = env
        self.socket_path = str(daemon.socket_path)
        self.library_dir = env["ARA2_CLIENT_LIBRARY_DIR"]

    @property
    def pid(self) -> int | None:
        return self.daemon.pid

    def __repr__(self) -> str:
        return f"EmulatorHandle(pid={self.pid}, socket_path={self.socket_path!r})"


@pytest.fixture(scope="session")
def ara2_emulator_config() -> dict:
    return {"emulator": {"endpoints": 1}}


@pytest.fixture(scope="session")
def ara2_emulator(ara2_emulator_config, tmp_path_factory):
    workdir = tmp_path_factory.mktemp("ara2-emulator")
    config = dict(ara2_emulator_config)
    config.setdefault("proxy", {"interface_type": "SOCKET", "interface_socket_file": [str(workdir / "proxy.sock")]})
    with Daemon(config, workdir=workdir) as daemon, pytest.MonkeyPatch.context() as patch:
        env = client_env(daemon.socket_path)
        for name in ("ARA2_SOCKET", "ARA2_CLIENT_LIBRARY_DIR"):
            patch.setenv(name, env[name])
        yield EmulatorHandle(daemon, env)


@pytest.fixture
def ara2_model(tmp_path):
    from ara2_emulator.model_builder import build_model, load_description

    def build(description: dict | str | os.PathLike, name: str = "model") -> pathlib.Path:
        if not isinstance(description, dict):
            description = load_description(description)
        path = tmp_path / f"{name}.dvm"
        build_model(description, path)
        return path

    return build
