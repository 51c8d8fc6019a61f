"""Model.run(), Model.submit() and InferRequest against the emulator, with
faults injected through the emulated model files and the stand-in library."""
import gc
import os
import sys
import threading

import numpy as np
import pytest

import tallowind_ara2 as ara2
from fixtures.inference_models import passthrough
from fixtures.raising import raises_exactly

NULL_STATS = "Null pointer error: dv_infer_request.stats is null \u2014 timing data unavailable"
CONSUMED = "inference request already consumed"
NOT_ALLOCATED = "tensors not allocated: call allocate_tensors() first"
U64_MAX = 2**64 - 1


def timing_tuple(timing):
    return (timing.run_time_us, timing.input_time_us, timing.output_time_us)


def run_sync(model):
    return model.run()


def run_async(model):
    return model.submit().wait()


@pytest.fixture
def live_requests(stand_in):
    """Library requests alive now, less those alive when the test started
    (a request dropped on a foreign thread is left alive on purpose)."""
    before = stand_in.live_handles("request")
    return lambda: stand_in.live_handles("request") - before


def internal_failure_class():
    """The module's internal-failure exception: a direct BaseException subclass."""
    return next(c for c in BaseException.__subclasses__() if c.__name__ == "InternalFailure")


# ---------------------------------------------------------------------------
# The happy paths and what the library is given


@pytest.mark.parametrize("infer", [run_sync, run_async])
def test_inference_returns_timing_and_leaves_no_request(open_model, stand_in, infer, live_requests):
    model = open_model(passthrough(64))
    timing = infer(model)
    assert type(timing) is ara2.ModelTiming
    assert live_requests() == 0
    assert stand_in.call_count("dv_infer_free") == 1


@pytest.mark.parametrize("memory, kind", [("mem", 0), ("shm", 1)])
def test_descriptors_name_each_tensor_by_kind_and_shape_bytes(open_model, stand_in, memory, kind):
    # The input's size and bpp fields say 24 bytes; its tensor (and descriptor) holds nch x h x w.
    model = open_model({
        "inputs": [{"shape": [1, 2, 3], "bpp": 4}, {"shape": [2, 2, 2]}],
        "outputs": [{"shape": [1, 1, 5]}, {"shape": [1, 1, 1], "size": 7}],
        "program": {"ops": []},
    }, memory=memory)
    model.run()
    call = stand_in.last_call("dv_infer_sync")
    assert call["flag"] == 1
    assert call["inputs"] == [{"kind": kind, "size": 6, "reserved_null": True},
                              {"kind": kind, "size": 8, "reserved_null": True}]
    assert call["outputs"] == [{"kind": kind, "size": 5, "reserved_null": True},
                               {"kind": kind, "size": 7, "reserved_null": True}]
    model.submit().wait()
    assert stand_in.last_call("dv_infer_async")["inputs"] == call["inputs"]


@pytest.mark.parametrize("kinds", [("mem", "mem"), ("mem", "shm"), ("shm", "mem"), ("shm", "shm")])
def test_run_after_reallocation_uses_the_new_tensors(open_model, kinds):
    # run() keeps its descriptor arrays between calls; a reallocation must
    # replace them, or the data would go to the released tensors.
    model = open_model(passthrough(257), memory=kinds[0])
    for seed, memory in enumerate(kinds):
        if seed:
            model.allocate_tensors(memory)
        data = np.random.default_rng(seed).integers(0, 256, 257, dtype=np.uint8).reshape(1, 1, -1)
        for _ in range(2):
            model.set_input_tensor(0, data)
            model.run()
            np.testing.assert_array_equal(model.get_output_tensor(0), data)
            data = data[..., ::-1].copy()


def test_runs_while_a_request_is_pending_leave_it_its_own_tensors(open_model, stand_in, live_requests):
    model = open_model(passthrough(64))
    model.run()
    first = np.full((1, 1, 64), 7, np.uint8)
    model.set_input_tensor(0, first)
    request = model.submit()
    model.run()
    model.run()
    assert stand_in.last_call("dv_infer_async")["inputs"] == stand_in.last_call("dv_infer_sync")["inputs"]
    request.wait()
    np.testing.assert_array_equal(model.get_output_tensor(0), first)
    assert live_requests() == 0


def test_run_uses_the_model_timeout_and_wait_its_own(open_model, stand_in):
    model = open_model(passthrough(8))
    model.run()
    assert stand_in.last_call("dv_infer_sync")["timeout_ms"] == 1000
    model.set_timeout_ms(250)
    model.run()
    assert stand_in.last_call("dv_infer_sync")["timeout_ms"] == 250
    model.submit().wait(77)
    assert stand_in.last_call("dv_infer_wait_for_completion")["timeout_ms"] == 77
    model.submit().wait()
    assert stand_in.last_call("dv_infer_wait_for_completion")["timeout_ms"] == 1000


def test_empty_tensors_are_passed_with_a_valid_address(open_model, stand_in):
    model = open_model({"inputs": [{"shape": [1, 1, 0]}], "outputs": [{"shape": [0, 1, 1]}],
                        "program": {"ops": []}})
    model.run()
    model.submit().wait()
    call = stand_in.last_call("dv_infer_sync")
    assert [d["size"] for d in call["inputs"] + call["outputs"]] == [0, 0]


@pytest.mark.parametrize("method", ["run", "submit"])
@pytest.mark.parametrize("state", ["loaded", "closed"])
def test_inference_needs_allocated_tensors(open_model, stand_in, method, state):
    model = open_model(passthrough(8), allocate=state == "closed")
    if state == "closed":
        model.close()
    with raises_exactly(ara2.TensorError, NOT_ALLOCATED):
        getattr(model, method)()
    assert stand_in.call_count("dv_infer_sync") + stand_in.call_count("dv_infer_async") == 0


# ---------------------------------------------------------------------------
# Status errors from each call


@pytest.mark.parametrize("status, cls", [(30, ara2.Ara2Error), (105, ara2.HardwareError),
                                         (210, ara2.ProxyError), (245, ara2.ModelError),
                                         (301, ara2.LibraryError), (600, ara2.HardwareError)])
def test_failed_sync_call_raises_by_status_and_frees_nothing(open_model, stand_in, status, cls, live_requests):
    model = open_model(passthrough(8, faults={"call_status": {"dv_infer_sync": status}}))
    with raises_exactly(cls, f"Ara2 error: {status}"):
        model.run()
    assert stand_in.call_count("dv_infer_free") == 0
    assert live_requests() == 0


def test_failed_free_after_run_discards_the_timing(open_model, stand_in):
    model = open_model(passthrough(8))
    stand_in.inject_status("dv_infer_free", 250)
    with raises_exactly(ara2.ModelError, "Ara2 error: 250"):
        model.run()


def test_missing_statistics_outweigh_a_failed_free(open_model, stand_in):
    model = open_model(passthrough(8, faults={"missing_statistics": True}))
    stand_in.inject_status("dv_infer_free", 250)
    with raises_exactly(ara2.Ara2Error, NULL_STATS):
        model.run()
    assert stand_in.call_count("dv_infer_free") == 1


def test_missing_statistics_on_run_still_free_the_request(open_model, stand_in, live_requests):
    model = open_model(passthrough(8, faults={"missing_statistics": True}))
    with raises_exactly(ara2.Ara2Error, NULL_STATS):
        model.run()
    assert live_requests() == 0


@pytest.mark.parametrize("status, cls", [(99, ara2.Ara2Error), (201, ara2.ProxyError), (499, ara2.ProxyError)])
def test_failed_async_submit_raises_and_leaves_nothing(open_model, stand_in, status, cls, live_requests):
    model = open_model(passthrough(8, faults={"call_status": {"dv_infer_async": status}}))
    with raises_exactly(cls, f"Ara2 error: {status}"):
        model.submit()
    assert live_requests() == 0
    # The model stays usable.
    model.run()


def test_success_without_a_request_from_run_is_refused(open_model, stand_in):
    # Status 0 injected: the call "succeeds" without writing a request.
    model = open_model(passthrough(8))
    stand_in.inject_status("dv_infer_sync", 0)
    with raises_exactly(ara2.Ara2Error, "Null pointer error: dv_infer_sync returned null request pointer"):
        model.run()
    assert stand_in.call_count("dv_infer_free") == 0
    model.run()


def test_null_request_from_submit(open_model, stand_in):
    model = open_model(passthrough(8, faults={"null_request": True}))
    with raises_exactly(ara2.Ara2Error, "Null pointer error: dv_infer_async returned null request pointer"):
        model.submit()
    assert stand_in.call_count("dv_infer_free") == 0


def test_failed_wait_call_consumes_and_frees_the_request(open_model, stand_in, live_requests):
    model = open_model(passthrough(8, faults={"call_status": {"dv_infer_wait_for_completion": 150}}))
    request = model.submit()
    with raises_exactly(ara2.HardwareError, "Ara2 error: 150"):
        request.wait()
    assert repr(request) == "InferRequest(consumed)"
    assert stand_in.call_count("dv_infer_free") == 1
    assert live_requests() == 0


def test_request_id_status_error(open_model, stand_in):
    model = open_model(passthrough(8, faults={"call_status": {"dv_infer_get_req_id": 260}}))
    request = model.submit()
    with raises_exactly(ara2.ModelError, "Ara2 error: 260"):
        request.request_id
    assert repr(request) == "InferRequest(pending)"
    request.wait()


# ---------------------------------------------------------------------------
# Completion states


@pytest.mark.parametrize("faults, message", [
    ({"missing_statistics": True}, NULL_STATS),
    ({"null_completed": True},
     "Null pointer error: dv_infer_wait_for_completion returned null completed pointer"),
    ({"final_state": 4}, "asynchronous inference failed on the NPU"),
    ({"final_state": 3}, "inference not completed (status=3)"),
    ({"final_state": 5}, "inference not completed (status=5)"),
    ({"final_state": 4294967295}, "inference not completed (status=4294967295)"),
    ({"completion_states": [0, 1, 0], "final_state": 4}, "asynchronous inference failed on the NPU"),
])
def test_wait_failures_consume_and_free_the_request(open_model, stand_in, faults, message, live_requests):
    model = open_model(passthrough(8, faults=faults))
    request = model.submit()
    assert repr(request) == "InferRequest(pending)"
    with raises_exactly(ara2.Ara2Error, message):
        request.wait()
    assert repr(request) == "InferRequest(consumed)"
    assert live_requests() == 0
    with raises_exactly(ara2.Ara2Error, CONSUMED):
        request.wait()
    with raises_exactly(ara2.Ara2Error, CONSUMED):
        request.request_id


@pytest.mark.parametrize("states", [[], [1], [1, 1], [0, 1, 1, 0, 1]])
def test_wait_repeats_while_pending(open_model, stand_in, states, live_requests):
    model = open_model(passthrough(8, faults={"completion_states": states}))
    request = model.submit()
    request.wait()
    assert stand_in.call_count("dv_infer_wait_for_completion") == len(states) + 1
    assert live_requests() == 0


def test_request_id_is_stable_while_pending(open_model, stand_in):
    model = open_model(passthrough(8))
    request = model.submit()
    first = request.request_id
    assert isinstance(first, int) and first == request.request_id
    assert stand_in.call_count("dv_infer_get_req_id") == 2
    request.wait()


@pytest.mark.parametrize("timeout", [-1, 2**32, None, "5"])
def test_wait_timeout_must_be_u32(open_model, timeout):
    model = open_model(passthrough(8))
    request = model.submit()
    expected = OverflowError if isinstance(timeout, int) else TypeError
    with pytest.raises(expected):
        request.wait(timeout)
    # A refused argument does not consume the request.
    assert repr(request) == "InferRequest(pending)"
    request.wait(timeout_ms=500)


# ---------------------------------------------------------------------------
# Timing conversion


@pytest.mark.parametrize("run_time, expected", [
    (1234.9, 1234), (0.99, 0), (-1.0, 0), ("nan", 0), ("-inf", 0), ("inf", U64_MAX), ("1e30", U64_MAX),
    # the largest float below 2^64 is exact as an integer
    (float.fromhex("0x1.fffffep+63"), 2**64 - 2**40), (16777217.0, 16777216),
])
@pytest.mark.parametrize("infer", [run_sync, run_async])
def test_statistics_become_saturated_whole_microseconds(open_model, infer, run_time, expected):
    faults = {"run_time_us": run_time, "input_time_us": -1.0, "output_time_us": "nan"}
    model = open_model(passthrough(8, faults=faults))
    assert timing_tuple(infer(model)) == (expected, 0, 0)


def test_fixed_statistics_reach_each_field(open_model):
    faults = {"run_time_us": 1234.9, "input_time_us": 17.5, "output_time_us": 3.0}
    model = open_model(passthrough(8, faults=faults))
    assert timing_tuple(model.run()) == (1234, 17, 3)
    assert repr(model.submit().wait()) == "ModelTiming(run_time_us=1234, input_time_us=17, output_time_us=3)"


# ---------------------------------------------------------------------------
# Requests: several at once, lifetime, threads


def test_several_requests_of_one_model_can_be_pending(open_model, stand_in, live_requests):
    model = open_model(passthrough(8, faults={"latency_us": 20000}))
    requests = [model.submit() for _ in range(4)]
    assert live_requests() == 4
    assert len({r.request_id for r in requests}) == 4
    model.run()  # the model is usable while they are pending
    for request in reversed(requests):
        assert type(request.wait()) is ara2.ModelTiming
    assert live_requests() == 0


def test_dropping_an_unwaited_request_frees_it_at_once(open_model, stand_in, live_requests):
    model = open_model(passthrough(8, faults={"latency_us": 200000}))
    request = model.submit()
    assert live_requests() == 1
    del request
    assert stand_in.call_count("dv_infer_free") == 1
    assert stand_in.call_count("dv_infer_wait_for_completion") == 0
    assert live_requests() == 0


def test_a_pending_request_keeps_its_model_loaded(ara2_session, emulated_model, stand_in):
    model = ara2_session.list_endpoints()[0].load_model(emulated_model(passthrough(8)))
    model.allocate_tensors("mem")
    request = model.submit()
    del model
    gc.collect()
    assert stand_in.call_count("dv_model_unload") == 0
    request.wait()
    assert stand_in.call_count("dv_model_unload") == 1


def test_a_request_outlives_the_close_of_its_model(open_model, stand_in, live_requests):
    # Closing is the caller's fault while a request is pending, but the
    # request's heap buffers stay valid for the library to write the results into.
    model = open_model(passthrough(1 << 16, faults={"latency_us": 50000}))
    model.set_input_tensor(0, np.full(1 << 16, 7, np.uint8))
    request = model.submit()
    model.close()
    assert type(request.wait()) is ara2.ModelTiming
    assert live_requests() == 0


def test_a_pending_request_keeps_the_session_open(emulator, emulated_model, stand_in):
    session = ara2.Session.create_via_unix_socket(emulator.socket_path)
    model = session.list_endpoints()[0].load_model(emulated_model(passthrough(8)))
    model.allocate_tensors("mem")
    request = model.submit()
    session.close()
    del model
    assert stand_in.call_count("dv_session_close") == 0
    request.wait()
    assert stand_in.call_count("dv_session_close") == 1


def test_other_threads_run_while_wait_blocks(open_model, stand_in):
    model = open_model(passthrough(8, faults={"latency_us": 300000}))
    seen_inside_wait = 0
    stop = threading.Event()

    def watch():
        # Python code that runs after the library wait began and before the
        # request was freed: only possible if the lock was let go in between.
        # The wait count is read first, so a watcher held off until after the
        # free cannot count.
        nonlocal seen_inside_wait
        while not stop.is_set():
            waits = stand_in.call_count("dv_infer_wait_for_completion")
            frees = stand_in.call_count("dv_infer_free")
            if waits >= 1 and frees == 0:
                seen_inside_wait += 1

    request = model.submit()
    thread = threading.Thread(target=watch)
    thread.start()
    try:
        request.wait()
    finally:
        stop.set()
        thread.join()
    assert seen_inside_wait > 0


def in_thread(function):
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:  # noqa: B902 - the internal failure is a BaseException
            # Without its traceback: the frames would tie the objects used in
            # the thread into a cycle, which the collector might later free on
            # some other thread.
            outcome["error"] = error.with_traceback(None)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize("use", [lambda r: r.wait(), lambda r: r.request_id, repr])
def test_request_refuses_other_threads(open_model, use):
    model = open_model(passthrough(8))
    request = model.submit()
    outcome = in_thread(lambda: use(request))
    error = outcome["error"]
    assert type(error) is internal_failure_class()
    assert str(error) == "tallowind_ara2::model::InferRequest is unsendable, but sent to another thread"
    assert repr(request) == "InferRequest(pending)"
    request.wait()


@pytest.mark.parametrize("use", [
    lambda m: m.run(), lambda m: m.submit(), lambda m: m.set_input_tensor(0, b""),
    lambda m: m.get_output_tensor(0), lambda m: m.dequantize(0),
], ids=["run", "submit", "set_input_tensor", "get_output_tensor", "dequantize"])
def test_model_data_methods_refuse_other_threads(open_model, stand_in, use):
    model = open_model(passthrough(8))
    error = in_thread(lambda: use(model))["error"]
    assert type(error) is internal_failure_class()
    assert str(error) == "tallowind_ara2::model::Model is unsendable, but sent to another thread"
    assert stand_in.call_count("dv_infer_sync") + stand_in.call_count("dv_infer_async") == 0


@pytest.mark.parametrize("method, summary", [
    ("run", "Run inference on the model."),
    ("submit", "Submit inference asynchronously."),
    ("set_input_tensor", "Copy numpy array data into an input tensor."),
    ("get_output_tensor", "Get output tensor data as a typed numpy array."),
    ("dequantize", "Dequantize an output tensor to ``float32``."),
])
def test_docstrings_follow_their_signature_header(method, summary):
    doc = getattr(ara2.Model, method).__doc__
    assert doc.startswith(f"{summary}\n"), doc
    assert ara2.InferRequest.wait.__doc__.startswith("Block until the inference completes and return timing.\n")
    assert ara2.InferRequest.wait.__text_signature__ == "($self, timeout_ms=1000)"


def test_output_docstring_keeps_its_arrows():
    doc = ara2.Model.get_output_tensor.__doc__
    assert "- ``bpp == 2`` and not signed \u2192 ``uint16``\n- ``bpp == 4`` \u2192 ``float32``" in doc


def test_request_dropped_on_another_thread_is_reported_and_left(open_model, stand_in):
    model = open_model(passthrough(8))
    holder = [model.submit()]
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: reports.append((report.exc_type, str(report.exc_value)))
    try:
        in_thread(holder.clear)
    finally:
        sys.unraisablehook = previous
    assert reports == [(RuntimeError,
                        "tallowind_ara2::model::InferRequest is unsendable, but is being dropped on another thread")]
    assert stand_in.call_count("dv_infer_free") == 0


# ---------------------------------------------------------------------------
# Leaks


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.not_sanitized("AddressSanitizer holds freed memory in quarantine, so the resident size grows")
@pytest.mark.parametrize("memory", ["mem", "shm"])
def test_no_growth_over_ten_thousand_runs(open_model, stand_in, memory, live_requests):
    model = open_model(passthrough(4096), memory=memory)
    for _ in range(500):
        model.run()
    gc.collect()
    fds, rss, blocks = open_fds(), rss_bytes(), sys.getallocatedblocks()
    for _ in range(10000):
        model.run()
    gc.collect()
    assert open_fds() == fds
    assert sys.getallocatedblocks() - blocks < 1000
    assert rss_bytes() - rss < 4 << 20
    assert live_requests() == 0
