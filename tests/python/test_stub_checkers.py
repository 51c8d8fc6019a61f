"""The shipped stub passes the type checkers' own checks: mypy --strict on the
stub, and mypy's stubtest, which compares it with the built module; and the
`ara2` command, a user of the module like any other, type-checks against it."""
import os
import pathlib
import subprocess
import sys

import pytest

import tallowind_ara2

pytest.importorskip("mypy")
STUB = pathlib.Path(tallowind_ara2.__file__).with_name("tallowind_ara2.pyi")


def _mypy(*args: str, cwd: pathlib.Path) -> subprocess.CompletedProcess:
    # The stub beside the module is found as a user stub: mypy ignores a lone
    # top-level stub on a site path.
    env = {**os.environ, "MYPYPATH": str(STUB.parent)}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


def test_stub_is_clean_under_mypy_strict(tmp_path, build_dir):
    out = _mypy("mypy", "--strict", "--cache-dir", str(build_dir / "mypy-cache"), str(STUB), cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_the_command_line_tool_type_checks_against_the_stub(tmp_path, build_dir):
    cli = pathlib.Path(__file__).resolve().parents[2] / "cli" / "ara2_cli"
    out = _mypy("mypy", "--strict", "--cache-dir", str(build_dir / "mypy-cache"), str(cli), cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stubtest_finds_the_stub_and_the_module_agree(tmp_path):
    out = _mypy("mypy.stubtest", "tallowind_ara2", cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
