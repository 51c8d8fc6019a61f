import importlib.util
import shutil
import subprocess
import sys

import pytest

import tallowind_ara2


def test_module_reports_its_version():
    assert tallowind_ara2.__version__ == "0.22.0"


def test_the_init_function_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", tallowind_ara2.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_tallowind_ara2"]


# --- other interpreters: the module's classes and exceptions are process-wide
# objects of the main interpreter, so any other interpreter is refused.

IMPORT_AND_REPORT = """
try:
    import tallowind_ara2
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
with open({report!r}, "w") as report:
    report.write(outcome)
"""

RUNNERS = {
    # Py_NewInterpreter's legacy interpreters, as embedding programs make them.
    "legacy": "import _testcapi\n_testcapi.run_in_subinterp(code)",
    # Isolated interpreters (their own GIL from 3.12 on).
    "isolated": (
        "try:\n    import _interpreters as interpreters\n"
        "except ImportError:\n    import _xxsubinterpreters as interpreters\n"
        "interpreter = interpreters.create()\n"
        "interpreters.run_string(interpreter, code)\n"
        "interpreters.destroy(interpreter)"
    ),
}


def _runner_available(runner: str) -> bool:
    modules = ("_testcapi",) if runner == "legacy" else ("_interpreters", "_xxsubinterpreters")
    return any(importlib.util.find_spec(name) is not None for name in modules)


@pytest.mark.parametrize("main_first", [True, False], ids=["imported-in-main-first", "subinterpreter-first"])
@pytest.mark.parametrize("runner", sorted(RUNNERS))
def test_import_in_another_interpreter_fails_cleanly(runner, main_first, tmp_path):
    if not _runner_available(runner):
        pytest.skip(f"this Python has no {runner} sub-interpreters")
    report = tmp_path / "report"
    child = "\n".join([
        "import tallowind_ara2" if main_first else "",
        f"code = {IMPORT_AND_REPORT.format(report=str(report))!r}",
        RUNNERS[runner],
        "import tallowind_ara2",
        "print(tallowind_ara2.Session.__qualname__, len(tallowind_ara2.__all__))",
    ])
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert report.read_text() == "ImportError: module tallowind_ara2 does not support loading in subinterpreters"
    assert out.stdout.split() == ["Session", "40"]
