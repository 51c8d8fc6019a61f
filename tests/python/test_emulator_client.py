"""The stand-in client library, driven through ctypes against the emulator
daemon: records byte for byte, statuses, inference data paths, faults, and
the test-control interface."""
from __future__ import annotations

import contextlib
import ctypes
import gc
import math
import mmap
import os
import textwrap

import pytest

from ara2_emulator.model_builder import build_model
from fixtures.emulator import (DvApi, DvStatus, model_counts, read_input_record, read_output_record,
                               request_state, request_stats)

COPY = {
    "inputs": [{"shape": [3, 2, 2]}],
    "outputs": [{"shape": [3, 2, 2]}],
    "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
}
PATTERN = bytes(range(7, 19))


@pytest.fixture
def api(stand_in):
    return DvApi(stand_in.handle)


@pytest.fixture(params=["unix", "tcp"])
def session(request, api, emulator):
    if request.param == "unix":
        handle = api.open_unix(emulator.socket_path)
    else:
        handle = api.open_tcp(emulator.host, emulator.port)
    yield handle
    api.close(handle)


@pytest.fixture
def endpoints(api, session):
    array, count = api.endpoints(session)
    yield [array + 32 * i for i in range(count)]
    api.free_group(array)


@pytest.fixture
def make_model(tmp_path):
    def make(description=None, name="model.dvm"):
        path = tmp_path / name
        build_model(description or COPY, path)
        return path
    return make


def buffer(data: bytes | int):
    buf = (ctypes.c_uint8 * (data if isinstance(data, int) else len(data)))()
    if not isinstance(data, int):
        ctypes.memmove(buf, data, len(data))
    return buf


def memfd(size: int, data: bytes = b"") -> tuple[int, mmap.mmap]:
    fd = os.memfd_create("emu-test", os.MFD_CLOEXEC)
    os.ftruncate(fd, size)
    view = mmap.mmap(fd, size)
    view[: len(data)] = data
    return fd, view


def registered_copy_tensors(api, session):
    """The COPY model's input (holding PATTERN) and output as registered
    descriptors, and a view of the output's memory."""
    in_fd, in_view = memfd(12, PATTERN)
    out_fd, out_view = memfd(12)
    try:
        inputs = [(api.register(session, in_fd, 12), 12, 1)]
        outputs = [(api.register(session, out_fd, 12), 12, 1)]
    finally:
        os.close(in_fd)
        os.close(out_fd)  # the library keeps its own reference
    return inputs, outputs, out_view


# --------------------------------------------------------------- records


def test_endpoint_records_are_opaque_junk_and_counted(api, session, emulator):
    array, count = api.endpoints(session)
    try:
        assert count == 2
        assert ctypes.string_at(array, 64) == b"\xee" * 64
    finally:
        api.free_group(array)


def test_model_handle_records_carry_every_described_field(api, session, endpoints, make_model, stand_in):
    description = {
        "inputs": [{"shape": [4, 5, 6], "layer_name": {"hex": "6cff00"[:4]}, "blob_name": "blob",
                    "layer_id": -3, "blob_id": 9, "layer_type": "Conv", "layout": "NHWC", "bpp": 2,
                    "size": -1, "batch_size": 7, "qn": 0.25, "offset": -12, "is_signed": True,
                    "qmode": 5, "mean": None, "scale": [2.0, 3.0, 4.0], "mirror": True,
                    "bgr_to_rgb": True}],
        "outputs": [{"shape": [1, 1, 10], "name": f"out{i}", "layer_id": 100 + i, "blob_id": 200 + i,
                     "fused_parent_id": i, "layer_fused_parent_name": "parent" if i else "",
                     "num_classes": 10 + i, "layer_output_type": [0, 1, 4][i], "max_dynamic_id": 50 + i,
                     "qn": 0.5, "offset": 128, "is_signed": i == 1, "bpp": 1}
                    for i in range(3)],
    }
    model = api.load(session, endpoints[0], make_model(description), b"model")
    try:
        assert model_counts(model) == (1, 3)
        record = read_input_record(model, 0)
        assert record["layer_name"] == b"l\xff"
        assert (record["layer_id"], record["blob_id"], record["blob_name"]) == (-3, 9, b"blob")
        assert (record["layer_type"], record["layout"]) == (b"Conv", b"NHWC")
        assert (record["size"], record["width"], record["height"], record["nch"]) == (-1, 6, 5, 4)
        assert (record["bpp"], record["batch_size"]) == (2, 7)
        assert (record["qn"], record["offset"], record["is_signed"], record["qmode"]) == (0.25, -12, 1, 5)
        assert record["mean"] is None and record["scale"] == [2.0, 3.0, 4.0]
        assert record["flags"] == (0, 1, 0, 1)  # aspect_resize, mirror, center_crop, bgr_to_rgb
        assert set(record["junk"]) == {0xA5}
        stride = stand_in.output_record_size
        for i in range(3):
            out = read_output_record(model, i, stride)
            assert (out["layer_name"], out["layer_id"], out["blob_id"]) == (f"out{i}".encode(), 100 + i, 200 + i)
            assert (out["fused_parent_id"], out["num_classes"], out["max_dynamic_id"]) == (i, 10 + i, 50 + i)
            assert out["layer_fused_parent_name"] == (b"parent" if i else b"")
            assert out["layer_output_type"] == [0, 1, 4][i]
            assert (out["size"], out["nch"], out["height"], out["width"]) == (10, 1, 1, 10)
            assert (out["qn"], out["offset"], out["is_signed"]) == (0.5, 128, int(i == 1))
            assert set(out["junk"]) == {0xA5}
    finally:
        api.unload(model)


GENERATION_PROBE = textwrap.dedent("""
    import ctypes, sys
    from fixtures.emulator import DvApi, read_output_record
    from ara2_emulator.control import StandIn
    stand_in = StandIn()
    api = DvApi(stand_in.handle)
    session = api.open_unix(sys.argv[1] if len(sys.argv) > 1 else {socket!r})
    array, count = api.endpoints(session)
    model = api.load(session, array, {path!r}, b"m")
    base = ctypes.c_void_p.from_address(model + 80).value
    third = ctypes.c_int32.from_address(base + {offset} + 8).value
    print(stand_in.variant, stand_in.output_record_size, third, {version_call})
    api.unload(model); api.free_group(array); api.close(session)
    assert stand_in.misuse_count == 0
""")


@pytest.mark.parametrize("variant, stride, version", [
    ("v1_1", 112, "(1, 1, 0, 0)"), ("v1_3", 120, "(1, 3, 0, 0)"), ("v1_2", 120, "(1, 2, 0, 0)"),
    ("v2_0", 120, "(2, 0, 0, 0)"), ("no_async", 120, "(1, 3, 0, 0)"),
])
def test_output_records_follow_the_generation_stride(child_python, emulator, make_model, variant, stride,
                                                     version):
    path = make_model({"inputs": [{"shape": [1, 1, 1]}],
                       "outputs": [{"shape": [1, 1, 1], "layer_id": 40 + i} for i in range(3)]})
    code = GENERATION_PROBE.format(socket=emulator.socket_path, path=str(path), offset=2 * stride,
                                   version_call="api.version()")
    result = child_python(code, variant=variant)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().split(maxsplit=3) == [variant, str(stride), "42", version]


@pytest.mark.parametrize("variant, file_name, present, absent", [
    ("v1_3", "libaraclient.so", ["dv_get_client_lib_version", "dv_infer_async"], []),
    ("no_version", "libaraclient.so", ["dv_infer_async"], ["dv_get_client_lib_version"]),
    ("no_async", "libaraclient.so", ["dv_get_client_lib_version"], ["dv_infer_async"]),
    ("x86_64", "libaraclient_x86_64.so", ["dv_get_client_lib_version", "dv_infer_async"], []),
])
def test_variants_export_exactly_their_symbols(child_python, emulator_lib_dir, variant, file_name, present,
                                               absent):
    # In a child: once loaded here, a variant would be found by its soname
    # when the module opens the client library, and shadow the one under test.
    names = present + absent + ["_ZN3emu6client8registryEv", "parse_model"]
    code = (f"import ctypes; lib = ctypes.CDLL({str(emulator_lib_dir(variant) / file_name)!r}); "
            f"print(' '.join(n for n in {names!r} if hasattr(lib, n)))")
    result = child_python(code, variant=variant)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == present  # internals stay hidden


def test_dram_record_fields_follow_loads_registrations_and_unloads(api, session, endpoints, make_model):
    endpoint = endpoints[1]
    before = api.dram(session, endpoint)
    assert before["junk"] == b"\xa5" * 8
    assert before["free_size"] == before["dram_size"] - before["dram_occupancy_size"]
    model = api.load(session, endpoint, make_model({**COPY, "dram_bytes": 1 << 20}), b"m")
    loaded = api.dram(session, endpoint)
    assert loaded["model_occupancy_size"] == before["model_occupancy_size"] + (1 << 20)
    fd, view = memfd(4096)
    try:
        api.register(session, fd, 4096)
    finally:
        os.close(fd)
    registered = api.dram(session, endpoint)
    assert registered["tensor_occupancy_size"] == loaded["tensor_occupancy_size"] + 4096
    assert registered["dram_occupancy_size"] == (registered["reserved_occupancy_size"]
                                                 + registered["model_occupancy_size"]
                                                 + registered["tensor_occupancy_size"])
    api.unload(model)
    assert api.dram(session, endpoint)["model_occupancy_size"] == before["model_occupancy_size"]


def daemon_fds(emulator) -> int:
    return len(os.listdir(f"/proc/{emulator.pid}/fd"))


def test_unregistering_releases_the_tensor_everywhere(api, session, endpoints, stand_in, emulator):
    endpoint = endpoints[0]  # where a session without models accounts its tensors
    before, fds, daemon_before = api.dram(session, endpoint), len(os.listdir("/proc/self/fd")), daemon_fds(emulator)
    fd, view = memfd(4096)
    try:
        registrations = [api.register(session, fd, 4096) for _ in range(3)]
    finally:
        os.close(fd)
    assert api.dram(session, endpoint)["tensor_occupancy_size"] == before["tensor_occupancy_size"] + 3 * 4096
    for registration in registrations:
        api.unregister(session, registration)
    assert api.dram(session, endpoint)["tensor_occupancy_size"] == before["tensor_occupancy_size"]
    assert stand_in.live_handles("registration") == 0
    del view
    # Neither the library nor the daemon keeps a descriptor of the buffer.
    assert len(os.listdir("/proc/self/fd")) == fds
    assert daemon_fds(emulator) == daemon_before


def test_withdrawn_registrations_are_misuse(api, session, endpoints, make_model, stand_in):
    stand_in.allow_misuse()
    model = api.load(session, endpoints[0], make_model(), b"m")
    fd, view = memfd(12, PATTERN)
    try:
        registration = api.register(session, fd, 12)
    finally:
        os.close(fd)
    api.unregister(session, registration)
    with pytest.raises(DvStatus) as twice:
        api.unregister(session, registration)
    with pytest.raises(DvStatus) as used:
        api.infer_sync(session, endpoints[0], model, [(registration, 12, 1)], [(registration, 12, 1)])
    with pytest.raises(DvStatus) as foreign:
        api.unregister(session, ctypes.addressof(buffer(32)))
    api.unload(model)
    assert twice.value.status == used.value.status == foreign.value.status == 22
    log = stand_in.misuse_log()
    assert [entry.split(" (")[0] for entry in log] == [
        "dv_shmfd_unregister: unknown or already withdrawn registration",
        "dv_infer_sync: unknown or withdrawn registration",
        "dv_shmfd_unregister: unknown or already withdrawn registration"]


def test_request_pending_on_a_withdrawn_registration_completes(api, session, endpoints, make_model):
    # Withdrawing while a request still uses the tensor is the caller's
    # fault; neither the library nor the daemon may crash on it.
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": {"latency_us": 200_000}}), b"m")
    inputs, outputs, out_view = registered_copy_tensors(api, session)
    request = api.infer_async(session, endpoints[0], model, inputs, outputs)
    for registration, _, _ in inputs + outputs:
        api.unregister(session, registration)
    try:
        assert request_state(api.wait(session, request, 5000)) == 2
        assert out_view[:] == PATTERN
    finally:
        api.free(request)
        api.unload(model)


def test_model_that_does_not_fit_is_refused(api, session, endpoints, make_model):
    with pytest.raises(DvStatus) as failure:
        api.load(session, endpoints[0], make_model({**COPY, "dram_bytes": 1 << 40}), b"m")
    assert 240 <= failure.value.status <= 299


# --------------------------------------------------------------- inference


def test_sync_inference_moves_heap_tensor_bytes(api, session, endpoints, make_model):
    model = api.load(session, endpoints[0], make_model(), b"m")
    source, target = buffer(PATTERN), buffer(12)
    request = api.infer_sync(session, endpoints[0], model, [(ctypes.addressof(source), 12, 0)],
                             [(ctypes.addressof(target), 12, 0)])
    try:
        assert bytes(target) == PATTERN
        assert request_state(request) == 2
        stats = request_stats(request)
        assert stats is not None and all(t >= 0 and math.isfinite(t) for t in stats)
    finally:
        api.free(request)
        api.unload(model)


def test_async_inference_with_registered_tensors(api, session, endpoints, make_model, stand_in):
    model = api.load(session, endpoints[0], make_model(), b"m")
    inputs, outputs, out_view = registered_copy_tensors(api, session)
    request = api.infer_async(session, endpoints[0], model, inputs, outputs)
    completed = api.wait(session, request, 5000)
    try:
        assert completed == request
        assert request_state(completed) == 2
        assert out_view[:] == PATTERN
        assert api.request_id(request) > 0
    finally:
        api.free(request)
        api.unload(model)
    recorded = stand_in.last_call("dv_infer_async")
    assert recorded["inputs"] == [{"kind": 1, "size": 12, "reserved_null": True}]
    assert recorded["flag"] == 1


def test_registered_memory_is_shared_not_copied_over_unix(api, emulator, make_model):
    session = api.open_unix(emulator.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, make_model(), b"m")
    in_fd, in_view = memfd(12, b"\x00" * 12)
    out_fd, out_view = memfd(12)
    try:
        inputs = [(api.register(session, in_fd, 12), 12, 1)]
        outputs = [(api.register(session, out_fd, 12), 12, 1)]
        for data in (PATTERN, PATTERN[::-1]):  # writes after registration are seen
            in_view[:] = data
            api.free(api.infer_sync(session, array, model, inputs, outputs))
            assert out_view[:] == data
    finally:
        os.close(in_fd)
        os.close(out_fd)
        api.unload(model)
        api.free_group(array)
        api.close(session)


def test_requests_on_one_endpoint_complete_in_order(api, session, endpoints, make_model):
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": {"latency_us": 20000}}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    tensors = ([(ctypes.addressof(src), 12, 0)], [(ctypes.addressof(dst), 12, 0)])
    requests = [api.infer_async(session, endpoints[0], model, *tensors) for _ in range(3)]
    try:
        assert api.inflight(session) == 3
        ids = [api.request_id(r) for r in requests]
        assert ids == sorted(ids) and len(set(ids)) == 3
        assert request_state(api.wait(session, requests[2], 10000)) == 2
        assert api.inflight(session) == 2  # until their outcome is collected
        # Completion of the last implies completion of the earlier ones.
        for r in requests[:2]:
            assert request_state(api.wait(session, r, 0)) == 2
        assert api.inflight(session) == 0
    finally:
        for r in requests:
            api.free(r)
        api.unload(model)


def test_wait_that_times_out_reports_pending_and_can_wait_again(api, session, endpoints, make_model):
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": {"latency_us": 300000}}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    request = api.infer_async(session, endpoints[0], model, [(ctypes.addressof(src), 12, 0)],
                              [(ctypes.addressof(dst), 12, 0)])
    try:
        first = api.wait(session, request, 0)
        assert request_state(first) in (0, 1)
        while request_state(api.wait(session, request, 1000)) in (0, 1):
            pass
        assert request_state(request) == 2
        assert bytes(dst) == PATTERN
    finally:
        api.free(request)
        api.unload(model)


def test_sync_inference_that_exceeds_its_timeout_fails(api, session, endpoints, make_model):
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": {"latency_us": 2000000}}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    try:
        with pytest.raises(DvStatus) as failure:
            api.infer_sync(session, endpoints[0], model, [(ctypes.addressof(src), 12, 0)],
                           [(ctypes.addressof(dst), 12, 0)], timeout_ms=1)
        assert failure.value.status != 0
    finally:
        api.unload(model)


@pytest.mark.parametrize("faults, states, stats_null, completed_null", [
    ({"completion_states": [1, 0, 1]}, [1, 0, 1, 2], False, False),
    ({"final_state": 4}, [4], False, False),
    ({"final_state": 3}, [3], False, False),
    ({"missing_statistics": True}, [2], True, False),
    ({"null_completed": True}, [2], False, True),
])
def test_model_faults_shape_what_waits_report(api, session, endpoints, make_model, faults, states,
                                              stats_null, completed_null):
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": faults}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    request = api.infer_async(session, endpoints[0], model, [(ctypes.addressof(src), 12, 0)],
                              [(ctypes.addressof(dst), 12, 0)])
    try:
        for state in states:
            completed = api.wait(session, request, 5000)
            assert (completed is None) == completed_null
            assert request_state(request) == state
        assert (request_stats(request) is None) == stats_null
    finally:
        api.free(request)
        api.unload(model)


def test_fixed_timings_reach_the_statistics_record_unchanged(api, session, endpoints, make_model):
    faults = {"run_time_us": 1234.9, "input_time_us": -1.0, "output_time_us": "nan"}
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": faults}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    request = api.infer_sync(session, endpoints[0], model, [(ctypes.addressof(src), 12, 0)],
                             [(ctypes.addressof(dst), 12, 0)])
    try:
        input_us, output_us, run_us = request_stats(request)
        assert (input_us, round(run_us, 1)) == (-1.0, 1234.9)
        assert math.isnan(output_us)
    finally:
        api.free(request)
        api.unload(model)


def test_null_request_fault_succeeds_without_a_request(api, session, endpoints, make_model, stand_in):
    model = api.load(session, endpoints[0], make_model({**COPY, "faults": {"null_request": True}}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    try:
        assert api.infer_async(session, endpoints[0], model, [(ctypes.addressof(src), 12, 0)],
                               [(ctypes.addressof(dst), 12, 0)]) is None
        assert stand_in.live_handles("request") == 0
    finally:
        api.unload(model)


@pytest.mark.parametrize("function", ["dv_infer_sync", "dv_infer_async", "dv_infer_wait_for_completion",
                                      "dv_infer_get_req_id", "dv_infer_free", "dv_model_load_from_file"])
def test_model_call_status_fault_is_returned_by_that_call(api, session, endpoints, make_model, function):
    path = make_model({**COPY, "faults": {"call_status": {function: 157}}})
    if function == "dv_model_load_from_file":
        with pytest.raises(DvStatus) as failure:
            api.load(session, endpoints[0], path, b"m")
        assert failure.value.status == 157
        return
    model = api.load(session, endpoints[0], path, b"m")
    src, dst = buffer(PATTERN), buffer(12)
    tensors = ([(ctypes.addressof(src), 12, 0)], [(ctypes.addressof(dst), 12, 0)])
    request = None
    try:
        with pytest.raises(DvStatus) as failure:
            if function == "dv_infer_sync":
                api.infer_sync(session, endpoints[0], model, *tensors)
            else:
                request = api.infer_async(session, endpoints[0], model, *tensors)
                if function == "dv_infer_wait_for_completion":
                    api.wait(session, request)
                elif function == "dv_infer_get_req_id":
                    api.request_id(request)
                else:
                    pending, request = request, None
                    api.free(pending)
        assert failure.value.status == 157 and failure.value.function == function
    finally:
        if request is not None:
            api.free(request)
        api.unload(model)


@pytest.mark.parametrize("content, low, high", [
    (None, 240, 240),  # missing file
    (b"not a model at all", 241, 299),
    (b"", 241, 299),
])
def test_files_that_are_not_models_are_refused_with_model_statuses(api, session, endpoints, tmp_path,
                                                                   content, low, high):
    path = tmp_path / "bad.dvm"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(DvStatus) as failure:
        api.load(session, endpoints[0], path, b"bad")
    assert low <= failure.value.status <= high


# --------------------------------------------------------------- sessions


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_connecting_to_nothing_gives_a_proxy_status(api, tmp_path, transport):
    import socket
    with pytest.raises(DvStatus) as failure:
        if transport == "unix":
            api.open_unix(tmp_path / "nobody.sock")
        else:
            probe = socket.socket()
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
            probe.close()
            api.open_tcp("127.0.0.1", port)
    assert 200 <= failure.value.status <= 239


def test_versions_and_state_come_from_the_daemon_configuration(api, start_emulator):
    daemon = start_emulator({"emulator": {"endpoints": 2, "endpoint_state": [4, 12],
                                          "versions": {"proxy": "9.8.7.6", "sysapi": "1.0.0.1", 7: "0.0.0.1"}}})
    session = api.open_unix(daemon.socket_path)
    array, count = api.endpoints(session)
    try:
        assert [api.check_status(session, array + 32 * i) for i in range(count)] == [4, 12]
        assert api.versions(session) == [(0, (9, 8, 7, 6)), (6, (1, 0, 0, 1)), (7, (0, 0, 0, 1))]
    finally:
        api.free_group(array)
        api.close(session)


# --------------------------------------------------------------- control


def test_call_counters_and_recorded_arguments(api, session, endpoints, make_model, stand_in):
    path = make_model(name="net.best.dvm")
    name = b"net\xffbest"
    model = api.load(session, endpoints[0], path, name, flags=1)
    api.unload(model)
    assert stand_in.call_count("dv_model_load_from_file") == 1
    assert stand_in.call_count("dv_model_unload") == 1
    assert stand_in.call_count("dv_infer_sync") == 0
    recorded = stand_in.last_call("dv_model_load_from_file")
    assert (recorded["path"], recorded["name"], recorded["flags"]) == (os.fsencode(path), name, 1)
    with pytest.raises(ValueError):
        stand_in.call_count("dv_no_such_function")


def test_registration_records_whether_the_descriptor_was_a_private_copy(api, session, stand_in):
    fd, view = memfd(64)
    try:
        copy = os.dup(fd)
        os.set_inheritable(copy, True)  # not close-on-exec
        api.register(session, copy, 64)
        os.close(copy)
        cloexec_copy = os.dup(fd)  # close-on-exec, like a private duplicate
        api.register(session, cloexec_copy, 64)
        os.close(cloexec_copy)
    finally:
        os.close(fd)
    lone_fd = os.memfd_create("lone", os.MFD_CLOEXEC)  # nobody else holds it
    os.ftruncate(lone_fd, 64)
    api.register(session, lone_fd, 64)
    os.close(lone_fd)
    assert [c["private_duplicate"] for c in stand_in.calls("dv_shmfd_register")] == [False, True, False]
    assert {(c["size"], c["arg4"], c["arg5"]) for c in stand_in.calls("dv_shmfd_register")} == {(64, 0, 0)}


@pytest.mark.parametrize("times, failing_calls", [(1, 1), (2, 2), (None, 4)])
def test_injected_status_fails_the_next_calls(api, session, endpoints, stand_in, times, failing_calls):
    stand_in.inject_status("dv_endpoint_check_status", 150, times)
    results = []
    for _ in range(4):
        try:
            results.append(api.check_status(session, endpoints[0]))
        except DvStatus as failure:
            results.append(failure.status)
    assert results == [150] * failing_calls + [1] * (4 - failing_calls)
    assert stand_in.call_count("dv_endpoint_check_status") == 4


@pytest.mark.parametrize("override, expected", [(0, []), (-3, []), (1, [0]), (5, [0, 1, 0, 1, 0])])
def test_endpoint_count_override(api, session, stand_in, override, expected):
    stand_in.override_endpoint_count(override)
    array, count = api.endpoints(session)
    try:
        assert count == override
        records = [array + 32 * i for i in range(max(count, 0))]
        # every reported record is usable
        assert [api.check_status(session, r) for r in records] == [1] * len(expected)
    finally:
        api.free_group(array)


def test_state_version_and_dram_overrides(api, session, endpoints, stand_in):
    stand_in.override_endpoint_state(12)
    assert api.check_status(session, endpoints[0]) == 12
    stand_in.override_endpoint_state(None)
    assert api.check_status(session, endpoints[0]) == 1
    stand_in.override_versions([(0, "1.2.3.4"), (7, "0.0.0.9")])
    assert api.versions(session) == [(0, (1, 2, 3, 4)), (7, (0, 0, 0, 9))]
    stand_in.null_dram_record()
    record, count = ctypes.c_void_p(1), ctypes.c_uint32(1)
    assert stand_in.handle.dv_endpoint_get_dram_statistics(
        ctypes.c_void_p(session), ctypes.c_void_p(endpoints[0]), ctypes.byref(record), ctypes.byref(count)) == 0
    assert record.value is None
    stand_in.null_registration()
    fd, view = memfd(16)
    try:
        assert api.register(session, fd, 16) is None
    finally:
        os.close(fd)


def test_reset_clears_counters_injections_and_overrides(api, session, endpoints, stand_in):
    stand_in.inject_status("dv_endpoint_check_status", 150, None)
    stand_in.override_endpoint_count(0)
    stand_in.reset()
    assert stand_in.call_count("dv_endpoint_check_status") == 0
    assert api.check_status(session, endpoints[0]) == 1
    array, count = api.endpoints(session)
    api.free_group(array)
    assert count == 2


# --------------------------------------------------------------- misuse


def _misuse_cases():
    def released_session(api, ctx):
        handle = api.open_unix(ctx["socket"])
        api.close(handle)
        api.inflight(handle)

    def unknown_session(api, ctx):
        api.endpoints(0x1234)

    def freed_endpoint_array(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        api.free_group(array)
        api.check_status(ctx["session"], array)

    def double_free_of_array(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        api.free_group(array)
        api.free_group(array)

    def record_between_records(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        try:
            api.check_status(ctx["session"], array + 16)
        finally:
            api.free_group(array)

    def record_past_the_array(api, ctx):
        array, count = api.endpoints(ctx["session"])
        try:
            api.check_status(ctx["session"], array + 32 * count)
        finally:
            api.free_group(array)

    def record_of_another_session(api, ctx):
        other = api.open_unix(ctx["socket"])
        array, _ = api.endpoints(other)
        try:
            api.check_status(ctx["session"], array)
        finally:
            api.free_group(array)
            api.close(other)

    def unloaded_model(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        model = api.load(ctx["session"], array, ctx["model"], b"m")
        api.unload(model)
        try:
            api.unload(model)
        finally:
            api.free_group(array)

    def freed_request(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        model = api.load(ctx["session"], array, ctx["model"], b"m")
        src, dst = buffer(PATTERN), buffer(12)
        request = api.infer_sync(ctx["session"], array, model, [(ctypes.addressof(src), 12, 0)],
                                 [(ctypes.addressof(dst), 12, 0)])
        api.free(request)
        try:
            api.request_id(request)
        finally:
            api.unload(model)
            api.free_group(array)

    def endpoint_other_than_the_models(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        model = api.load(ctx["session"], array, ctx["model"], b"m")
        src, dst = buffer(PATTERN), buffer(12)
        try:
            api.infer_sync(ctx["session"], array + 32, model, [(ctypes.addressof(src), 12, 0)],
                           [(ctypes.addressof(dst), 12, 0)])
        finally:
            api.unload(model)
            api.free_group(array)

    def unknown_registration(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        model = api.load(ctx["session"], array, ctx["model"], b"m")
        dst = buffer(12)
        try:
            api.infer_sync(ctx["session"], array, model, [(ctypes.addressof(dst), 12, 1)],
                           [(ctypes.addressof(dst), 12, 0)])
        finally:
            api.unload(model)
            api.free_group(array)

    def dram_record_freed_twice(api, ctx):
        array, _ = api.endpoints(ctx["session"])
        record, count = ctypes.c_void_p(), ctypes.c_uint32(1)
        lib = api.lib
        lib.dv_endpoint_get_dram_statistics(ctx["session"], array, ctypes.byref(record), ctypes.byref(count))
        lib.dv_endpoint_free_dram_statistics(record, 1)
        api.free_group(array)
        api._call("dv_endpoint_free_dram_statistics", record, 1)

    def model_after_its_session_closed(api, ctx):
        other = api.open_unix(ctx["socket"])
        array, _ = api.endpoints(other)
        model = api.load(other, array, ctx["model"], b"m")
        api.free_group(array)
        api.close(other)
        api.unload(model)

    return [released_session, unknown_session, freed_endpoint_array, double_free_of_array,
            record_between_records, record_past_the_array, record_of_another_session, unloaded_model,
            freed_request, endpoint_other_than_the_models, unknown_registration, dram_record_freed_twice,
            model_after_its_session_closed]


@pytest.mark.parametrize("case", _misuse_cases(), ids=lambda f: f.__name__)
def test_released_or_unknown_handles_are_refused_and_counted(api, emulator, make_model, stand_in, case):
    stand_in.allow_misuse()
    session = api.open_unix(emulator.socket_path)
    try:
        with pytest.raises(DvStatus) as failure:
            case(api, {"session": session, "socket": emulator.socket_path, "model": make_model()})
        assert failure.value.status == 22
        assert stand_in.misuse_count == 1, stand_in.misuse_log()
    finally:
        api.close(session)


def test_closing_a_session_releases_everything_it_handed_out(api, emulator, make_model, stand_in):
    kinds = ("session", "endpoint_array", "model", "request", "version_array")
    # Objects of earlier tests may be garbage not yet collected, or kept on purpose: count from here.
    gc.collect()
    before = [stand_in.live_handles(k) for k in kinds]
    session = api.open_unix(emulator.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, make_model(), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    api.infer_sync(session, array, model, [(ctypes.addressof(src), 12, 0)], [(ctypes.addressof(dst), 12, 0)])
    api.versions(session)
    assert all(stand_in.live_handles(k) > b for k, b in zip(kinds, before))
    api.close(session)
    assert [stand_in.live_handles(k) for k in kinds] == before


@pytest.mark.parametrize("reply", [b"", b"HTTP/1.1 400 Bad Request\r\n\r\n" * 4])
def test_connecting_to_something_that_is_not_the_emulator_fails_cleanly(api, tmp_path, reply):
    import socket
    import threading
    path = tmp_path / "other.sock"
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(path))
    server.listen(1)

    def answer_once():
        conn, _ = server.accept()
        conn.recv(64)
        conn.sendall(reply)
        conn.close()

    thread = threading.Thread(target=answer_once)
    thread.start()
    try:
        with pytest.raises(DvStatus) as failure:
            api.open_unix(path)
        assert 200 <= failure.value.status <= 239
    finally:
        thread.join()
        server.close()


@pytest.mark.parametrize("call", [
    lambda s: s.inject_status("dv_nothing", 1),
    lambda s: s.inject_status("dv_infer_sync", 1, times=-2),
    lambda s: s.live_handles("socket"),
    lambda s: s.override_versions([(0, "1.2.3")]),
    lambda s: s.last_call("dv_infer_sync"),
])
def test_control_rejects_what_it_cannot_do(stand_in, call):
    with pytest.raises((ValueError, LookupError)):
        call(stand_in)


def test_daemon_helper_locates_its_pieces(monkeypatch, tmp_path):
    from ara2_emulator import daemon as helper
    assert (helper.library_dir("v1_1") / "libaraclient.so").is_file()
    assert (helper.library_dir("x86_64") / "libaraclient_x86_64.so").is_file()
    with pytest.raises(ValueError):
        helper.library_dir("v9_9")
    monkeypatch.setenv("ARA2_EMULATOR", str(tmp_path / "custom"))
    assert helper.find_executable() == tmp_path / "custom"


def test_a_long_wait_does_not_hold_up_other_calls_on_the_session(api, emulator, make_model, stand_in):
    import threading
    session = api.open_unix(emulator.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, make_model({**COPY, "faults": {"latency_us": 30_000_000}}), b"m")
    src, dst = buffer(PATTERN), buffer(12)
    request = api.infer_async(session, array, model, [(ctypes.addressof(src), 12, 0)],
                              [(ctypes.addressof(dst), 12, 0)])
    outcome = []

    def wait():
        try:
            api.wait(session, request, 60_000)
            outcome.append(request_state(request))
        except DvStatus as failure:
            outcome.append(failure.status)

    waiter = threading.Thread(target=wait)
    waiter.start()
    while stand_in.call_count("dv_infer_wait_for_completion") == 0:
        pass
    assert api.inflight(session) == 1  # answered while the wait goes on
    api.unload(model)
    api.free_group(array)
    api.close(session)  # ends the wait: the request never completed
    waiter.join()
    assert outcome == [203]


def test_empty_registered_tensors_are_usable(api, session, endpoints, make_model):
    description = {"inputs": [{"shape": [1, 1, 4]}], "outputs": [{"shape": [0, 1, 1], "size": 0}]}
    model = api.load(session, endpoints[0], make_model(description), b"m")
    src = buffer(4)
    fd = os.memfd_create("empty", os.MFD_CLOEXEC)
    try:
        registration = api.register(session, fd, 0)
        request = api.infer_sync(session, endpoints[0], model, [(ctypes.addressof(src), 4, 0)],
                                 [(registration, 0, 1)])
        assert request_state(request) == 2
        api.free(request)
    finally:
        os.close(fd)
        api.unload(model)


# --------------------------------------------------------------- one exchange, large tensors

MiB = 1 << 20


def copy_model(size: int) -> dict:
    return {"inputs": [{"shape": [1, 1, size]}], "outputs": [{"shape": [1, 1, size]}],
            "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]}}


@contextlib.contextmanager
def session_with_model(api, daemon, model_path):
    """(session, endpoint array, model) on a daemon of the test's own, all released after."""
    session = api.open_unix(daemon.socket_path)
    array, _ = api.endpoints(session)
    model = api.load(session, array, model_path, b"m")
    try:
        yield session, array, model
    finally:
        api.lib.dv_model_unload(ctypes.c_void_p(model))
        api.free_group(array)
        api.close(session)


def test_a_synchronous_request_is_answered_and_released_in_one_exchange(api, start_emulator, make_model):
    daemon = start_emulator({})
    with session_with_model(api, daemon, make_model()) as (session, array, model):
        src, dst = buffer(PATTERN), buffer(12)
        request = api.infer_sync(session, array, model, [(ctypes.addressof(src), 12, 0)],
                                 [(ctypes.addressof(dst), 12, 0)])
        assert api.inflight(session) == 0
        assert daemon.stop() == 0  # from here on nothing reaches the daemon
        assert api.request_id(request) > 0
        assert api.wait(session, request, 0) == request and request_state(request) == 2
        api.free(request)
        with pytest.raises(DvStatus) as failure:
            api.inflight(session)
        assert failure.value.status == 203


@pytest.mark.parametrize("source", ["model", "daemon"])
@pytest.mark.parametrize("function", ["dv_infer_get_req_id", "dv_infer_wait_for_completion", "dv_infer_free"])
def test_later_calls_on_a_synchronous_request_keep_their_fault_statuses(api, start_emulator, make_model,
                                                                        source, function):
    faults = {"call_status": {function: 157}}
    daemon = start_emulator({"emulator": {"faults": faults}} if source == "daemon" else {})
    model_path = make_model({**COPY, "faults": faults} if source == "model" else COPY)
    with session_with_model(api, daemon, model_path) as (session, array, model):
        src, dst = buffer(PATTERN), buffer(12)
        request = api.infer_sync(session, array, model, [(ctypes.addressof(src), 12, 0)],
                                 [(ctypes.addressof(dst), 12, 0)])
        calls = {"dv_infer_get_req_id": lambda: api.request_id(request),
                 "dv_infer_wait_for_completion": lambda: api.wait(session, request),
                 "dv_infer_free": lambda: api.free(request)}
        with pytest.raises(DvStatus) as failure:
            calls[function]()
        assert (failure.value.function, failure.value.status) == (function, 157)
        if function != "dv_infer_free":
            api.free(request)


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_heap_tensors_of_several_mib_arrive_intact(api, session, endpoints, make_model, mode):
    size = 3 * MiB + 5
    model = api.load(session, endpoints[0], make_model(copy_model(size)), b"m")
    try:
        for _ in range(2):  # the second round reuses what the first one allocated
            data = os.urandom(size)
            src, dst = buffer(data), buffer(size)
            tensors = ([(ctypes.addressof(src), size, 0)], [(ctypes.addressof(dst), size, 0)])
            if mode == "sync":
                request = api.infer_sync(session, endpoints[0], model, *tensors)
            else:
                request = api.infer_async(session, endpoints[0], model, *tensors)
                assert request_state(api.wait(session, request, 10_000)) == 2
            api.free(request)
            assert bytes(dst) == data
    finally:
        api.unload(model)


@pytest.mark.parametrize("side", ["input", "output"])
def test_heap_tensors_too_large_for_one_message_are_refused_before_sending(api, session, endpoints,
                                                                            make_model, side):
    model = api.load(session, endpoints[0], make_model(), b"m")
    big = mmap.mmap(-1, 257 * MiB)  # never touched: costs no memory
    big_address = ctypes.addressof(ctypes.c_char.from_buffer(big))
    small = buffer(12)
    large, normal = (big_address, 257 * MiB, 0), (ctypes.addressof(small), 12, 0)
    try:
        with pytest.raises(DvStatus) as failure:
            api.infer_sync(session, endpoints[0], model, [large if side == "input" else normal],
                           [large if side == "output" else normal])
        assert failure.value.status == 21
        assert api.inflight(session) == 0  # the session carries on
    finally:
        api.unload(model)


def test_heap_inference_over_the_client_memory_cap_fails_and_the_session_carries_on(api, start_emulator,
                                                                                   make_model):
    daemon = start_emulator({"emulator": {"client_memory": 3 * MiB // 2}})
    data = os.urandom(MiB)
    with session_with_model(api, daemon, make_model(copy_model(MiB))) as (session, array, model):
        src, dst = buffer(data), buffer(MiB)
        with pytest.raises(DvStatus) as failure:
            api.infer_sync(session, array, model, [(ctypes.addressof(src), MiB, 0)],
                           [(ctypes.addressof(dst), MiB, 0)])
        assert failure.value.status == 205
        # Shared tensors need no payload memory.
        in_fd, _ = memfd(MiB, data)
        out_fd, out_view = memfd(MiB)
        try:
            inputs = [(api.register(session, in_fd, MiB), MiB, 1)]
            outputs = [(api.register(session, out_fd, MiB), MiB, 1)]
        finally:
            os.close(in_fd)
            os.close(out_fd)
        api.free(api.infer_sync(session, array, model, inputs, outputs))
        assert out_view[:] == data
