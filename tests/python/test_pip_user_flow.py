"""What a user who installed the package with pip does, through the console
scripts pyproject.toml declares and the pytest plugin it registers: write the
example, build and inspect a model, run the application against a private
daemon or a background one, and test it under pytest. Nothing here relies on
LD_LIBRARY_PATH being set by the caller."""
import importlib
import json
import os
import re
import subprocess
import sys

import pytest

from fixtures.paths import REPO

tomllib = pytest.importorskip("tomllib")
PYPROJECT = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))
SCRIPTS = PYPROJECT["project"]["scripts"]
LABELS = ["red -> red", "green -> green", "blue -> blue"]


def user_env(**extra) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "ARA2_SOCKET")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p and os.path.isdir(p))
    env.update(extra)
    return env


def script(name: str, *args, cwd, env=None) -> subprocess.CompletedProcess:
    """Runs a console script the way its generated wrapper does."""
    module, _, function = SCRIPTS[name].partition(":")
    code = f"import sys; from {module} import {function} as m; sys.argv[0] = {name!r}; sys.exit(m())"
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], cwd=cwd, env=env or user_env(),
                          capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    """The example written by `ara2-emulator example`, with its model built."""
    directory = tmp_path_factory.mktemp("pip-user")
    written = script("ara2-emulator", "example", directory, cwd=directory)
    assert written.returncode == 0, written.stderr
    built = script("ara2-emu-model", "colour_classifier.yaml", "-o", "colour_classifier.dvm", cwd=directory)
    assert built.returncode == 0, built.stderr
    return directory


def test_example_is_not_written_over_existing_files(project):
    again = script("ara2-emulator", "example", project, cwd=project)
    assert again.returncode == 1 and "already has colour_classifier.yaml" in again.stderr
    assert "from classify import classify" in (project / "test_classify.py").read_text()


def test_built_model_is_inspected_by_the_native_tool(project):
    inspected = script("ara2-emu-dvm", "inspect", "colour_classifier.dvm", cwd=project)
    assert inspected.returncode == 0, inspected.stderr
    assert [output["nch"] for output in json.loads(inspected.stdout)["outputs"]] == [3, 1]


def test_run_starts_a_private_daemon_for_the_program(project):
    ran = script("ara2-emulator", "run", "--", sys.executable, "classify.py", "colour_classifier.dvm", cwd=project)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.splitlines() == LABELS


@pytest.mark.parametrize("program, status", [
    ("import sys; sys.exit(7)", 7),
    ("import os, signal; os.kill(os.getpid(), signal.SIGTERM)", 128 + 15),
    ("import os, sys; sys.exit(0 if os.path.exists(os.environ['ARA2_SOCKET']) "
     "and os.environ['LD_LIBRARY_PATH'] == os.environ['ARA2_CLIENT_LIBRARY_DIR'] else 1)", 0),
])
def test_run_returns_the_programs_exit_status(project, program, status):
    ran = script("ara2-emulator", "run", "--endpoints", "2", "--", sys.executable, "-c", program, cwd=project)
    assert ran.returncode == status, ran.stderr


def test_run_of_a_missing_program_says_so(project):
    ran = script("ara2-emulator", "run", "--", "no-such-program-ara2", cwd=project)
    assert ran.returncode == 127 and "cannot start no-such-program-ara2" in ran.stderr


def test_background_daemon_serves_programs_until_stopped(project, tmp_path):
    state = ["--state-dir", tmp_path / "state"]
    started = script("ara2-emulator", "start", *state, cwd=project)
    try:
        assert started.returncode == 0, started.stderr
        pid = int(re.search(r"pid (\d+)", started.stdout).group(1))
        twice = script("ara2-emulator", "start", *state, cwd=project)
        assert twice.returncode == 1 and f"already running (pid {pid}" in twice.stderr
        assert script("ara2-emulator", "status", *state, cwd=project).returncode == 0

        exports = script("ara2-emulator", "env", *state, cwd=project).stdout
        shell = f'{exports}\nexec "$0" classify.py colour_classifier.dvm'
        ran = subprocess.run(["sh", "-c", shell, sys.executable], cwd=project, env=user_env(),
                             capture_output=True, text=True, timeout=60)
        assert ran.stdout.splitlines() == LABELS, ran.stderr
    finally:
        stopped = script("ara2-emulator", "stop", *state, cwd=project)
    assert stopped.returncode == 0, stopped.stderr
    assert not os.path.exists(f"/proc/{pid}") or "Z" in open(f"/proc/{pid}/stat").read().rpartition(")")[2][:3]
    assert not (tmp_path / "state" / "proxy.sock").exists()
    assert script("ara2-emulator", "status", *state, cwd=project).returncode == 3
    assert script("ara2-emulator", "stop", *state, cwd=project).returncode == 1


def test_pytest_plugin_runs_the_example_test_and_takes_a_configuration(project, tmp_path):
    suite = tmp_path / "suite"
    suite.mkdir()
    for name in ("classify.py", "test_classify.py", "colour_classifier.yaml"):
        (suite / name).write_bytes((project / name).read_bytes())
    (suite / "conftest.py").write_text(
        "import pytest\n\n@pytest.fixture(scope='session')\n"
        "def ara2_emulator_config():\n    return {'emulator': {'endpoints': 3}}\n")
    (suite / "test_endpoints.py").write_text(
        "import os, tallowind_ara2 as ara2\n\n"
        "def test_configured_endpoints(ara2_emulator):\n"
        "    with ara2.Session.connect() as session:\n"
        "        assert len(session.list_endpoints()) == 3\n"
        "    assert os.environ['ARA2_SOCKET'] == ara2_emulator.socket_path\n")
    ran = subprocess.run([sys.executable, "-m", "pytest", "-p", "ara2_emulator.pytest_plugin", "-p",
                          "no:cacheprovider", "-q", str(suite)], cwd=suite, env=user_env(),
                         capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert "2 passed" in ran.stdout


def test_pytest_plugin_is_registered_under_its_entry_point():
    [(name, target)] = PYPROJECT["project"]["entry-points"]["pytest11"].items()
    plugin = importlib.import_module(target)
    for fixture in ("ara2_emulator", "ara2_emulator_config", "ara2_model"):
        assert hasattr(plugin, fixture), fixture


@pytest.mark.parametrize("topic, heading", [("emulator", "# The ARA-2 emulator"),
                                            ("models", "# Emulated model files")])
def test_docs_print_the_emulator_documentation(tmp_path, topic, heading):
    shown = script("ara2-emulator", "docs", topic, cwd=tmp_path)
    assert shown.returncode == 0 and shown.stdout.startswith(heading)


def test_the_ara2_help_getting_started_runs_as_written(tmp_path):
    """`ara2 --help` shows a pip user's first steps: run them, in order, with
    the console scripts only (no source checkout)."""
    shown = script("ara2", "--help", cwd=tmp_path)
    steps = shown.stdout.split("getting started", 1)[1].split("\n\n", 1)[0].splitlines()[1:]
    commands = [line.split("  #", 1)[0].strip() for line in steps]
    assert commands and not any("build/" in c or "examples/" in c for c in commands), commands
    wrappers = "".join(
        f'{name}() {{ "{sys.executable}" -c "import sys; from {SCRIPTS[name].replace(":", " import ")} as m; '
        f'sys.argv[0] = \'{name}\'; sys.exit(m())" "$@"; }}\n' for name in SCRIPTS)
    shell = (f"set -e\n{wrappers}trap 'ara2-emulator stop >/dev/null' EXIT\n"
             + "\n".join(commands).replace("--time 3", "--time 0.5"))
    ran = subprocess.run(["bash", "-c", shell], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                         env=user_env(ARA2_EMULATOR_STATE=str(tmp_path / "state")))
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert "colour_classifier.output0.npy" in ran.stdout and "throughput" in ran.stdout
