"""ara2 doctor against the emulator and against broken set-ups: each gives
its verdict in text and JSON, and the exit status says whether a check failed."""
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile

import pytest

from ara2_cli.doctor import dram_problem, glibc_floor
from fixtures.emulator import emulator_lib_dir

import tallowind_ara2 as ara2


def doctor(*argv, env=None, prefix=(), preexec=None):
    """Runs `ara2 doctor` twice in a child (JSON, then text) with `env` added;
    returns the status, the checks by name and the text report."""
    child_env = {**os.environ, **(env or {})}
    command = [*prefix, sys.executable, "-m", "ara2_cli", "doctor", *map(str, argv)]
    as_json = subprocess.run([*command, "--json"], env=child_env, capture_output=True, text=True, timeout=120,
                             preexec_fn=preexec)
    as_text = subprocess.run(command, env=child_env, capture_output=True, text=True, timeout=120,
                             preexec_fn=preexec)
    document = json.loads(as_json.stdout)
    assert as_text.returncode == as_json.returncode, as_text.stderr
    checks = {check["name"]: check for check in document["checks"]}
    for check in checks.values():  # the text shows each verdict the document holds
        assert f"  {check['status']:<4}  {check['name']}: " in as_text.stdout
    return as_json.returncode, checks, as_text.stdout


def verdict(checks, name):
    return checks[name]["status"], checks[name]["found"]


def test_a_working_installation_passes_every_check_with_one_inference(emulator, colour_classifier_path,
                                                                        monkeypatch):
    monkeypatch.setenv("ARA2_SOCKET", emulator.socket_path)
    status, checks, text = doctor("--model", colour_classifier_path, "--endpoint", "1")
    assert status == 0, text
    failed_or_warned = {name for name, check in checks.items() if check["status"] != "pass"}
    assert failed_or_warned <= {"DMA heap", "/dev/shm"}, text  # the host's, not the installation's
    assert [check["area"] for check in checks.values()][0] == "library"
    assert "through LD_LIBRARY_PATH" in checks["client library"]["found"]
    assert checks["endpoints"]["found"] == "2 endpoint(s)"
    assert "on endpoint 1" in checks["load"]["found"] and "the device: input" in checks["inference"]["found"]
    assert checks["versions"]["found"].startswith("client_lib 1.3.0.0")
    assert text.rstrip().endswith("0 failed")


@pytest.mark.parametrize("variant, env, check, status, expected", [
    ("missing", {}, "client library", "fail", "could not load the ARA-2 client library"),
    ("v1_2", {}, "client library", "fail", "implements DVAPI 1.2.0.0"),
    ("no_version", {}, "client library", "fail", "would not report a DVAPI version"),
    ("no_version", {"ARA2_ABI": "1.3"}, "generation", "warn", "ARA2_ABI forces V1_3; the library reports no version"),
    ("no_version", {"ARA2_ABI": "1.3"}, "entry points", "warn", "lacks dv_get_client_lib_version: the generation"),
    ("v1_3", {"ARA2_ABI": "2"}, "client library", "fail", 'ARA2_ABI is set to "2"'),
    ("no_async", {}, "entry points", "fail", "lacks dv_infer_async, which the module calls"),
])
def test_a_broken_client_library_gives_its_verdict(emulator, tmp_path, variant, env, check, status, expected):
    directory = tmp_path if variant == "missing" else emulator_lib_dir(variant)
    exit_status, checks, text = doctor(env={"ARA2_CLIENT_LIBRARY_DIR": str(directory),
                                            "ARA2_SOCKET": emulator.socket_path, **env})
    assert verdict(checks, check)[0] == status and expected in verdict(checks, check)[1], text
    assert exit_status == (1 if status == "fail" else 0)
    if status == "fail":
        assert checks[check]["fix"] and f"{check}: " in text and "        fix: " in text


def test_no_proxy_at_the_socket_fails(tmp_path):
    status, checks, _ = doctor(env={"ARA2_SOCKET": str(tmp_path / "missing.sock")})
    assert status == 1
    assert verdict(checks, "socket") == ("fail", f"{tmp_path / 'missing.sock'}: No such file or directory")
    assert "session" not in checks


def test_a_socket_this_user_may_not_use_fails_naming_its_mode(start_emulator):
    directory = tempfile.mkdtemp(prefix="ara2-doctor-")
    try:
        os.chmod(directory, 0o755)
        daemon = start_emulator({"proxy": {"interface_socket_file": [f"{directory}/proxy.sock"]}})
        os.chmod(daemon.socket_path, 0)
        # Root passes every permission check: the child runs without capabilities.
        prefix = ("setpriv", "--bounding-set=-all", "--inh-caps=-all") if os.geteuid() == 0 else ()
        if prefix and shutil.which("setpriv") is None:
            pytest.skip("needs setpriv to drop root's capabilities")
        status, checks, _ = doctor(env={"ARA2_SOCKET": str(daemon.socket_path)}, prefix=prefix)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    assert status == 1
    found = verdict(checks, "socket")
    assert found[0] == "fail" and "may not connect (mode 0000, owner " in found[1]


def test_a_proxy_of_another_release_is_a_warning_naming_both_versions(start_emulator):
    daemon = start_emulator({"emulator": {"versions": {"client_lib": "1.1.0.0"}}})
    status, checks, _ = doctor(env={"ARA2_SOCKET": str(daemon.socket_path)})
    state, found = verdict(checks, "versions")
    assert state == "warn" and "the proxy reports client_lib 1.1.0.0" in found and "reports 1.3.0.0" in found
    assert status == 0


def test_connect_going_nowhere_while_a_proxy_runs_elsewhere_is_a_warning(emulator, monkeypatch):
    monkeypatch.delenv("ARA2_SOCKET", raising=False)
    if os.path.exists(ara2.socket_path()):
        pytest.skip("a proxy listens on the default socket of this host")
    _, checks, _ = doctor()
    assert checks["address"]["status"] == "warn" and checks["address"]["fix"].startswith("export ARA2_SOCKET=")


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None, reason="needs root and unshare")
def test_an_unwritable_dev_shm_fails(emulator):
    # A read-only /dev/shm in a mount namespace of the child's own.
    script = f'mount -t tmpfs -o ro none /dev/shm && exec "$0" -m ara2_cli doctor "$@"'
    prefix = ("unshare", "--mount", "--propagation", "private", "sh", "-c", script)
    command = [*prefix, sys.executable, "--json"]
    result = subprocess.run(command, env={**os.environ, "ARA2_SOCKET": emulator.socket_path},
                            capture_output=True, text=True, timeout=120)
    checks = {check["name"]: check for check in json.loads(result.stdout)["checks"]}
    assert result.returncode == 1
    assert verdict(checks, "/dev/shm") == ("fail", "not writable: Read-only file system; 'shm' tensors cannot be made")


@pytest.mark.parametrize("limit, status", [(40, "fail"), (100, "warn")])
def test_a_low_descriptor_limit(emulator, limit, status):
    status_code, checks, _ = doctor(env={"ARA2_SOCKET": emulator.socket_path},
                                    preexec=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
    state, found = verdict(checks, "descriptors")
    assert state == status and found.startswith(f"RLIMIT_NOFILE {limit} (hard {limit}); 8 model(s)")
    assert checks["descriptors"]["fix"].startswith("raise the hard limit")
    assert status_code == (1 if status == "fail" else 0)


GOOD_DRAM = {"dram_size": 1000, "dram_occupancy_size": 300, "free_size": 700, "reserved_occupancy_size": 100,
             "model_occupancy_size": 150, "tensor_occupancy_size": 50}


@pytest.mark.parametrize("change, problem", [
    ({}, None),
    ({"free_size": 1200}, "free 1200 exceeds the size 1000"),
    ({"tensor_occupancy_size": 60}, "add up to 310, not the occupancy 300"),
    ({"free_size": 600}, "free 600 and occupied 300 do not add up to the size 1000"),
    ({"dram_size": 0, "free_size": 0}, "DRAM size 0"),
])
def test_dram_figures_that_do_not_add_up(change, problem):
    found = dram_problem({**GOOD_DRAM, **change})
    assert found == problem if problem is None else problem in found


def test_the_glibc_floor_is_the_newest_version_asked_for(tmp_path):
    library = tmp_path / "lib.so"
    library.write_bytes(b"\0GLIBC_2.2.5\0GLIBC_2.17\0GLIBC_2.3.4\0GLIBCXX_3.4\0")
    assert glibc_floor(str(library)) == "2.17"
    library.write_bytes(b"no versions")
    assert glibc_floor(str(library)) is None


def test_an_endpoint_in_a_state_that_runs_nothing_is_a_warning(start_emulator):
    daemon = start_emulator({"emulator": {"endpoints": 2, "endpoint_state": [1, 12]}})
    status, checks, _ = doctor(env={"ARA2_SOCKET": str(daemon.socket_path)})
    assert checks["endpoint 0"]["status"] == "pass"
    state, found = verdict(checks, "endpoint 1")
    assert state == "warn" and "state Unknown runs no models" in found and status == 0
