"""docs/guide.md runs as written: its ```python blocks in order in one
namespace, its ```sh blocks with bash in the same working directory and
environment, and a ```text block after a block is the output that block must
print (`...` stands for any text within a line, a line of only `...` for any
number of lines). A block after `<!-- not run: REASON -->` is shown only."""
import contextlib
import io
import json
import os
import re
import signal
import subprocess
import sys
import traceback

import pytest

from ara2_emulator.daemon import Daemon
from fixtures.paths import REPO

GUIDE = REPO / "docs" / "guide.md"
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)
SKIP = re.compile(r"<!-- not run: [^>]+-->\s*$")
LANGUAGES = {"python", "sh", "text"}


def blocks(text: str) -> list[tuple[int, str, str, bool]]:
    """(line, language, code, shown only) of every fenced block."""
    found = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        assert match.group(1) in LANGUAGES, f"guide.md:{line}: a block in {match.group(1) or 'no language'}"
        found.append((line, match.group(1), match.group(2), bool(SKIP.search(text[:match.start()]))))
    return found


def matches(expected: str, output: str) -> bool:
    pattern = "".join(r"(?:.*\n)*?" if line == "..." else re.escape(line).replace(r"\.\.\.", ".*") + r"\n"
                      for line in expected.splitlines())
    actual = "".join(line.rstrip() + "\n" for line in output.splitlines())
    return re.fullmatch(pattern, actual) is not None


def run_python(code: str, line: int, namespace: dict) -> str:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            exec(compile(code, f"guide.md:{line}", "exec"), namespace)
        except BaseException:  # noqa: B902 - the guide's own failure, shown with its output
            pytest.fail(f"guide.md:{line} failed:\n{out.getvalue()}{traceback.format_exc()}")
    return out.getvalue()


def run_shell(code: str, line: int, cwd) -> str:
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    ran = subprocess.run(["bash", "-euo", "pipefail", "-c", code], cwd=cwd, env=env, capture_output=True,
                         text=True, timeout=120)
    assert ran.returncode == 0, f"guide.md:{line} exited with {ran.returncode}:\n{ran.stdout}{ran.stderr}"
    return ran.stdout


def stop_background_daemon(state_dir) -> None:
    """A daemon `ara2-emulator start` left behind when a block failed before its stop."""
    with contextlib.suppress(OSError, ValueError, KeyError):
        os.kill(json.loads((state_dir / "state.json").read_text())["pid"], signal.SIGTERM)


def test_every_block_of_the_guide_runs_and_prints_what_it_shows(tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setenv("ARA2_EMULATOR_STATE", str(tmp_path / "state"))
    for name in ("ARA2_SOCKET", "ARA2_CLIENT_LIBRARY_DIR", "LD_LIBRARY_PATH"):
        monkeypatch.delenv(name, raising=False)  # as a new user's shell has them: the guide sets them up
    saved_environ = dict(os.environ)  # the guide points os.environ at its own daemon
    namespace = {"__name__": "__guide__"}
    last_output, ran = None, 0
    try:
        for line, language, code, shown_only in blocks(GUIDE.read_text(encoding="utf-8")):
            if language == "text":
                assert last_output is not None, f"guide.md:{line}: output shown after no block that runs"
                assert matches(code, last_output), f"guide.md:{line}: expected\n{code}\ngot\n{last_output}"
                last_output = None
            elif not shown_only:
                run = run_python(code, line, namespace) if language == "python" else run_shell(code, line, work)
                last_output, ran = run, ran + 1
    finally:
        for value in namespace.values():
            if isinstance(value, Daemon):
                value.close()
        stop_background_daemon(tmp_path / "state")
        os.environ.clear()
        os.environ.update(saved_environ)
    assert ran >= 25, f"only {ran} blocks ran: is the fence syntax still ```python / ```sh?"


@pytest.mark.parametrize("expected, output, result", [
    ("a 1\n", "a 1\n", True),
    ("a ...\n", "a 1 2\n", True),
    ("a ...\n", "b 1\n", False),
    ("x\n...\ny\n", "x\n1\n2\ny\n", True),
    ("x\n...\ny\n", "x\ny\n", True),
    ("x\ny\n", "x\ny\nz\n", False),
    ("a.b\n", "aXb\n", False),
])
def test_shown_output_is_matched_line_by_line(expected, output, result):
    assert matches(expected, output) is result
