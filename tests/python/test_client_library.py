"""Loading the client library, each case in a child process with its own
library path and environment: generation detection, the ARA2_ABI override,
candidate order and the three load failures."""
import json
import os

import pytest

CANDIDATES = "libaraclient_x86_64.so, libaraclient.so, libaraclient.so.1"
UNREPORTED = ("libaraclient.so would not report a DVAPI version (no usable dv_get_client_lib_version); "
              "set ARA2_ABI to 1.1 or 1.3 to force one")

# Connects, lists endpoints and prints what the session says about its library;
# on failure prints the exception class and arguments instead.
PROBE = """
import json, sys
import tallowind_ara2 as ara2
try:
    s = ara2.Session.create_via_unix_socket({socket!r})
    result = {{"abi": repr(s.abi), "dvapi_version": s.dvapi_version, "endpoints": len(s.list_endpoints())}}
except BaseException as e:
    result = {{"error": type(e).__name__, "args": list(e.args)}}
maps = open("/proc/self/maps").read()
result["mapped"] = "libaraclient" in maps
print(json.dumps(result))
"""


def probe(child_python, emulator, **kwargs):
    child = child_python(PROBE.format(socket=emulator.socket_path), **kwargs)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


@pytest.mark.parametrize(("variant", "abi_env", "abi", "version"), [
    ("v1_1", None, "Abi.V1_1", r"1.1."),
    ("v1_3", None, "Abi.V1_3", r"1.3."),
    ("v1_3", " 1.3 ", "Abi.V1_3", r"1.3."),
    ("v1_3", "\t1.1\n", "Abi.V1_1", r"1.3."),  # forced: the reported version stays what the probe found
    ("v1_1", "\u20031.3\u00a0", "Abi.V1_3", r"1.1."),
    ("v1_2", "1.1", "Abi.V1_1", r"1.2."),
    ("v2_0", "1.3", "Abi.V1_3", r"2.0."),
    ("no_version", "1.3", "Abi.V1_3", None),
    ("no_async", None, "Abi.V1_3", r"1.3."),  # a missing entry does not prevent a session
])
def test_generation_is_detected_or_forced(child_python, emulator, variant, abi_env, abi, version):
    env = {} if abi_env is None else {"ARA2_ABI": abi_env}
    result = probe(child_python, emulator, variant=variant, env=env)
    assert "error" not in result, result
    assert result["abi"] == abi
    assert result["endpoints"] == 2
    if version is None:
        assert result["dvapi_version"] is None
    else:
        assert result["dvapi_version"].startswith(version) and len(result["dvapi_version"].split(".")) == 4


def test_abi_override_that_is_not_utf8_counts_as_unset(child_python, emulator):
    result = probe(child_python, emulator, variant="v1_1", env={b"ARA2_ABI": b"1.3\xff"})
    assert result["abi"] == "Abi.V1_1"


@pytest.mark.parametrize(("value", "shown"), [("", '""'), ("  ", '""'), ("2.0", '"2.0"'), ("1.3\x1b", '"1.3\\u{1b}"'),
                                               ('1."3', '"1.\\"3"')])
def test_invalid_abi_override_fails_before_any_library_opens(child_python, emulator, value, shown):
    result = probe(child_python, emulator, env={"ARA2_ABI": value})
    assert result["error"] == "LibraryError"
    assert result["args"] == [f"ARA2_ABI is set to {shown}; expected 1.1 or 1.3"]
    assert result["mapped"] is False


@pytest.mark.parametrize(("variant", "message"), [
    ("no_version", UNREPORTED),
    ("v1_2", "libaraclient.so implements DVAPI 1.2.{}, which this build of ara2 has no struct layout for; "
             "set ARA2_ABI to 1.1 or 1.3 to force one"),
    ("v2_0", "libaraclient.so implements DVAPI 2.0.{}, which this build of ara2 has no struct layout for; "
             "set ARA2_ABI to 1.1 or 1.3 to force one"),
])
def test_unsupported_generation_names_the_library_and_version(child_python, emulator, variant, message):
    result = probe(child_python, emulator, variant=variant)
    assert result["error"] == "LibraryError"
    if "{}" in message:
        head, tail = message.split("{}")
        assert result["args"][0].startswith(head) and result["args"][0].endswith(tail)
        assert len(result["args"][0][len(head):-len(tail)].split(".")) == 2
    else:
        assert result["args"] == [message]
    assert result["mapped"] is False  # the unusable library was closed again


def test_no_candidate_names_all_three(child_python, emulator, tmp_path):
    result = probe(child_python, emulator, lib_dir=tmp_path)
    assert result == {"error": "LibraryError", "mapped": False, "args": [
        f"could not load the ARA-2 client library; tried {CANDIDATES} (last error: dlopen failed)"]}


def link_dir(tmp_path, emulator_lib_dir, links):
    for name, variant in links.items():
        source = next(p for p in emulator_lib_dir(variant).iterdir() if p.name.startswith("libaraclient"))
        os.symlink(source, tmp_path / name)
    return tmp_path


def test_later_candidate_is_used_when_the_first_is_unsupported(child_python, emulator, tmp_path,
                                                                emulator_lib_dir):
    lib_dir = link_dir(tmp_path, emulator_lib_dir, {"libaraclient_x86_64.so": "v2_0", "libaraclient.so": "v1_3"})
    result = probe(child_python, emulator, lib_dir=lib_dir)
    assert result["abi"] == "Abi.V1_3" and result["dvapi_version"].startswith("1.3.")


def test_first_unusable_candidate_is_reported_even_if_later_ones_fail_too(child_python, emulator, tmp_path,
                                                                          emulator_lib_dir):
    lib_dir = link_dir(tmp_path, emulator_lib_dir, {"libaraclient.so": "no_version", "libaraclient.so.1": "v2_0"})
    result = probe(child_python, emulator, lib_dir=lib_dir)
    assert result["args"] == [UNREPORTED]


def test_x86_64_name_is_tried_first(child_python, emulator):
    result = probe(child_python, emulator, variant="x86_64")
    assert "error" not in result, result
    assert result["endpoints"] == 2


def test_missing_library_is_reported_before_a_nul_in_the_socket_path(child_python, tmp_path):
    code = """
import tallowind_ara2 as ara2
try:
    ara2.Session.create_via_unix_socket("/tmp/a\\0b")
except ara2.Ara2Error as e:
    print(type(e).__name__, e)
"""
    child = child_python(code, lib_dir=tmp_path)
    assert child.stdout.startswith("LibraryError could not load the ARA-2 client library"), child.stderr


def test_sessions_do_not_share_a_library_across_environment_changes(child_python, emulator):
    code = f"""
import os
import tallowind_ara2 as ara2
first = ara2.Session.create_via_unix_socket({emulator.socket_path!r})
os.environ["ARA2_ABI"] = "1.1"
second = ara2.Session.create_via_unix_socket({emulator.socket_path!r})
print(repr(first.abi), repr(second.abi))
"""
    child = child_python(code, variant="v1_3")
    assert child.stdout.split() == ["Abi.V1_3", "Abi.V1_1"], child.stderr


def loaded_libm():
    with open("/proc/self/maps") as maps:
        return next(line.split()[-1] for line in maps if "/libm.so" in line or "/libm-" in line)


def test_call_through_a_missing_entry_is_an_internal_failure(child_python, tmp_path):
    # A forced generation accepts any library, here one with none of the dv_ functions.
    os.symlink(loaded_libm(), tmp_path / "libaraclient.so")
    code = """
import tallowind_ara2 as ara2
for attempt in range(2):
    try:
        ara2.Session.create_via_unix_socket("/nonexistent.sock")
    except Exception as e:
        print("caught as Exception:", type(e).__name__)
    except BaseException as e:
        print(type(e).__name__, e.args[0])
"""
    child = child_python(code, lib_dir=tmp_path, env={"ARA2_ABI": "1.3"})
    lines = child.stdout.splitlines()
    assert len(lines) == 2, child.stderr
    for line in lines:  # the process survives and the library stays usable for a second try
        assert line.startswith("InternalFailure Expected function, got error.: LibraryLoad(")
        assert "dv_session_create_via_unix_socket" in line


NOTES_PROBE = """
import json, os
import tallowind_ara2 as ara2
os.environ.update(json.loads({late_env!r}))  # after import, before the first session
try:
    s = ara2.Session.create_via_unix_socket({socket!r})
    print(json.dumps({{"endpoints": len(s.list_endpoints())}}))
except ara2.LibraryError as e:
    print(json.dumps({{"str": str(e), "args": list(e.args), "notes": getattr(e, "__notes__", None)}}))
"""


def notes_probe(child_python, emulator, tmp_path, late_env):
    code = NOTES_PROBE.format(late_env=json.dumps(late_env), socket=emulator.socket_path)
    child = child_python(code, lib_dir=tmp_path)  # nothing on the loader's path
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


@pytest.mark.parametrize("late_env", [{}, {"ARA2_CLIENT_LIBRARY_DIR": ""}])
def test_load_failure_keeps_its_text_and_tells_why_in_a_note(child_python, emulator, tmp_path, late_env):
    result = notes_probe(child_python, emulator, tmp_path, late_env)
    message = f"could not load the ARA-2 client library; tried {CANDIDATES} (last error: dlopen failed)"
    assert result["str"] == message and result["args"] == [message]
    [note] = result["notes"]
    for name in CANDIDATES.split(", "):
        assert f"\n  {name}: cannot open shared object file" in note
    assert f"LD_LIBRARY_PATH as the process started ({tmp_path})" in note
    assert "ARA2_CLIENT_LIBRARY_DIR is unset" in note


def test_library_directory_set_in_process_is_used_by_the_next_session(child_python, emulator, tmp_path,
                                                                       emulator_lib_dir):
    result = notes_probe(child_python, emulator, tmp_path,
                         {"ARA2_CLIENT_LIBRARY_DIR": str(emulator_lib_dir("v1_3"))})
    assert result == {"endpoints": 2}


def test_library_directory_is_the_only_place_looked(child_python, emulator, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    # The stand-in is on LD_LIBRARY_PATH, but the directory wins.
    code = NOTES_PROBE.format(late_env=json.dumps({"ARA2_CLIENT_LIBRARY_DIR": str(empty)}),
                              socket=emulator.socket_path)
    result = json.loads(child_python(code, variant="v1_3").stdout)
    assert result["args"] == [f"could not load the ARA-2 client library; tried {CANDIDATES} (last error: dlopen failed)"]
    assert f"only in {empty} (ARA2_CLIENT_LIBRARY_DIR is set)" in result["notes"][0]
