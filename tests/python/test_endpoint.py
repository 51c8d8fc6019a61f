"""Endpoint against the emulated proxy: state numbering per generation, DRAM
statistics and their release, status errors, life after Session.close()."""
import json

import pytest

import tallowind_ara2 as ara2
from fixtures.raising import raises_exactly

S = ara2.State
# raw state -> member, per generation; 1.3 reuses 4 and 5 for other names.
STATES_V1_1 = {0: S.Init, 1: S.Idle, 2: S.Active, 3: S.ActiveSlow, 4: S.ActiveBoosted, 5: S.ThermalInactive,
               6: S.ThermalUnknown, 7: S.Inactive, 8: S.Fault, 9: S.Unknown, 12: S.Unknown,
               4294967295: S.Unknown}
STATES_V1_3 = {**STATES_V1_1, 4: S.ThermalActiveSlow, 5: S.FailSafe}

DRAM_FIELDS = ("dram_size", "dram_occupancy_size", "free_size", "reserved_occupancy_size", "model_occupancy_size",
               "tensor_occupancy_size")


@pytest.fixture
def endpoint(emulator, stand_in):
    with ara2.Session.create_via_unix_socket(emulator.socket_path) as s:
        endpoints = s.list_endpoints()
    return endpoints[0]


def test_repr_and_str(endpoint):
    assert repr(endpoint) == str(endpoint) == "Endpoint()"


@pytest.mark.parametrize(("raw", "state"), sorted(STATES_V1_3.items()))
def test_state_numbering_of_a_v1_3_library(endpoint, stand_in, raw, state):
    stand_in.override_endpoint_state(raw)
    assert endpoint.check_status() is state


def test_state_numbering_of_a_v1_1_library(emulator, child_python):
    code = f"""
import json
import tallowind_ara2 as ara2
from ara2_emulator.control import StandIn
stand_in = StandIn("libaraclient.so")
s = ara2.Session.create_via_unix_socket({emulator.socket_path!r})
endpoint = s.list_endpoints()[0]
seen = {{}}
for raw in {sorted(STATES_V1_1)!r}:
    stand_in.override_endpoint_state(raw)
    seen[raw] = repr(endpoint.check_status())
print(json.dumps([repr(s.abi), seen, stand_in.misuse_count]))
"""
    child = child_python(code, variant="v1_1")
    assert child.returncode == 0, child.stderr
    abi, seen, misuse = json.loads(child.stdout)
    assert abi == "Abi.V1_1"
    assert {int(raw): shown for raw, shown in seen.items()} == {raw: repr(st) for raw, st in STATES_V1_1.items()}
    assert misuse == 0


def test_dram_statistics_copies_the_record(endpoint, stand_in):
    stats = endpoint.dram_statistics()
    assert type(stats) is ara2.DramStatistics
    values = [getattr(stats, f) for f in DRAM_FIELDS]
    assert all(isinstance(v, int) for v in values)
    assert stats.dram_size > 0 and stats.free_size <= stats.dram_size
    assert repr(stats) == (f"DramStatistics(dram_size={stats.dram_size}, free_size={stats.free_size}, "
                           f"model_occupancy_size={stats.model_occupancy_size})")


def test_dram_statistics_frees_each_record_exactly_once(endpoint, stand_in):
    for _ in range(3):
        endpoint.dram_statistics()
    gets = stand_in.calls("dv_endpoint_get_dram_statistics")
    frees = stand_in.calls("dv_endpoint_free_dram_statistics")
    assert len(gets) == len(frees) == 3
    assert all(f["count"] == 1 for f in frees)
    assert stand_in.live_handles("dram_record") == 0


@pytest.mark.parametrize(("code", "cls"), [(100, ara2.HardwareError), (205, ara2.ProxyError), (7, ara2.Ara2Error)])
def test_failed_dram_statistics_frees_nothing(endpoint, stand_in, code, cls):
    stand_in.inject_status("dv_endpoint_get_dram_statistics", code)
    with raises_exactly(cls, f"Ara2 error: {code}"):
        endpoint.dram_statistics()
    assert stand_in.call_count("dv_endpoint_free_dram_statistics") == 0
    endpoint.dram_statistics()  # usable again
    assert stand_in.call_count("dv_endpoint_free_dram_statistics") == 1


def test_null_dram_record_is_an_error_not_a_crash(endpoint, stand_in):
    stand_in.null_dram_record()
    with raises_exactly(ara2.Ara2Error, "Null pointer error: dv_endpoint_get_dram_statistics returned no "
                                        "statistics record"):
        endpoint.dram_statistics()
    assert stand_in.call_count("dv_endpoint_free_dram_statistics") == 0


@pytest.mark.parametrize(("code", "cls"), [(99, ara2.Ara2Error), (100, ara2.HardwareError), (499, ara2.ProxyError),
                                           (500, ara2.HardwareError)])
def test_check_status_raises_by_status_range(endpoint, stand_in, code, cls):
    stand_in.inject_status("dv_endpoint_check_status", code)
    with raises_exactly(cls, f"Ara2 error: {code}"):
        endpoint.check_status()
    assert endpoint.check_status() is S.Idle


def test_endpoint_outlives_session_close(emulator, stand_in):
    s = ara2.Session.create_via_unix_socket(emulator.socket_path)
    endpoint = s.list_endpoints()[1]
    s.close()
    with pytest.raises(ara2.Ara2Error, match="session is closed"):
        s.list_endpoints()
    assert endpoint.check_status() is S.Idle
    assert endpoint.dram_statistics().dram_size > 0
    assert stand_in.call_count("dv_session_close") == 0
    del endpoint
    assert stand_in.call_count("dv_session_close") == 1


def test_endpoints_cannot_be_instantiated():
    with pytest.raises(TypeError):
        ara2.Endpoint()
