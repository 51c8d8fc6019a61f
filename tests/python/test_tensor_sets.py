"""Pending requests and the tensors they use: writes refused while a request
reads them, reallocation and close deferred until it is released, and
further tensor sets of one model, each carrying its own requests."""
import os
import threading

import numpy as np
import pytest

import tallowind_ara2 as ara2
from ara2_emulator.model_builder import build_model
from fixtures.inference_models import passthrough
from fixtures.raising import raises_exactly
from fixtures.sanitizer import preloaded

IN_USE = "input tensors are in use by a pending request: call wait() on it before writing new inputs"
SLOW = {"latency_us": 100_000}  # long enough for every write below to happen while the request is pending
RED, BLUE = np.full((1, 1, 64), 200, np.uint8), np.full((1, 1, 64), 30, np.uint8)
TWO_IN_TWO_OUT = {
    "inputs": [{"shape": [1, 1, 8]}, {"shape": [1, 1, 4]}],
    "outputs": [{"shape": [1, 1, 8]}, {"shape": [1, 1, 4], "is_signed": True}],
    "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"},
                        {"op": "copy", "src": "input:1", "dst": "output:1"}]},
}


def registrations_in_call_order(stand_in, *functions):
    return [call["fn"] for call in stand_in.calls() if call["fn"] in functions]


# ---------------------------------------------------------------------------
# Writes under a pending request


@pytest.mark.parametrize("memory", ["mem", "shm"])
def test_a_pending_request_keeps_the_inputs_it_was_submitted_with(open_model, memory):
    model = open_model(passthrough(64, faults=SLOW), memory=memory)
    model.set_input_tensor(0, RED)
    request = model.submit()
    with raises_exactly(ara2.TensorError, IN_USE):
        model.set_input_tensor(0, BLUE)
    # Reading outputs and descriptions stays allowed while it is pending.
    model.get_output_tensor(0)
    assert model.input_shape(0) == (1, 1, 64)
    request.wait()
    np.testing.assert_array_equal(model.get_output_tensor(0), RED)
    model.set_input_tensor(0, BLUE)  # allowed again once it was waited for
    model.run()
    np.testing.assert_array_equal(model.get_output_tensor(0), BLUE)


def test_dma_buf_inputs_are_refused_too(model_child, build_dir, tmp_path):
    interposer = build_dir / "tests" / "interpose" / "libdma_heap_interposer.so"
    path = tmp_path / "slow.dvm"
    build_model(passthrough(64, faults=SLOW), path)
    out = model_child(f"""
        import numpy as np
        model = endpoint.load_model({str(path)!r})
        model.allocate_tensors("dma")
        model.set_input_tensor(0, np.full(64, 200, np.uint8))
        request = model.submit()
        try:
            model.set_input_tensor(0, np.full(64, 30, np.uint8))
        except ara2.TensorError as error:
            print(error)
        request.wait()
        print(model.input_tensor_memory(0), int(model.get_output_tensor(0).ravel()[0]))
        model.close()
        """, env={"LD_PRELOAD": preloaded(interposer), "TALLOWIND_TEST_DMA_LOG": str(tmp_path / "dma.log")})
    assert out.splitlines()[:2] == [IN_USE, "dma 200"]


@pytest.mark.parametrize("release", ["wait", "failed wait", "drop"])
def test_every_release_of_the_request_allows_writes_again(open_model, stand_in, release):
    model = open_model(passthrough(64, faults=SLOW), memory="shm")
    request = model.submit()
    if release == "drop":
        del request
    else:
        if release == "failed wait":
            stand_in.inject_status("dv_infer_wait_for_completion", 150)
        try:
            request.wait()
        except ara2.HardwareError:
            assert release == "failed wait"
    model.set_input_tensor(0, BLUE)


def test_several_requests_may_be_pending_on_one_set_and_each_is_counted(open_model):
    model = open_model(passthrough(64, faults=SLOW), memory="shm")
    model.set_input_tensor(0, RED)
    first, second = model.submit(), model.submit()
    first.wait()
    with raises_exactly(ara2.TensorError, IN_USE):
        model.set_input_tensor(0, BLUE)
    second.wait()
    model.set_input_tensor(0, BLUE)


# ---------------------------------------------------------------------------
# Reallocation and close under a pending request


def test_reallocation_leaves_a_pending_request_its_tensors_until_it_is_released(open_model, stand_in):
    model = open_model(passthrough(64, faults=SLOW), memory="shm")
    model.set_input_tensor(0, RED)
    request = model.submit()
    registrations = stand_in.live_handles("registration")
    model.allocate_tensors("shm")
    assert stand_in.live_handles("registration") == registrations + 2  # old and new side by side
    model.set_input_tensor(0, BLUE)  # the new tensors are free to write
    request.wait()
    assert stand_in.live_handles("registration") == registrations
    # The old tensors were withdrawn only once the library was done with the request.
    order = registrations_in_call_order(stand_in, "dv_infer_free", "dv_shmfd_unregister")
    assert order == ["dv_infer_free", "dv_shmfd_unregister", "dv_shmfd_unregister"]
    model.run()
    np.testing.assert_array_equal(model.get_output_tensor(0), BLUE)


@pytest.mark.parametrize("how", ["close", "with"])
def test_closing_defers_the_unload_to_the_last_pending_request(ara2_session, emulated_model, stand_in, how):
    loaded = stand_in.live_handles("model")  # an earlier test may leave one behind on purpose
    model = ara2_session.list_endpoints()[0].load_model(emulated_model(passthrough(64, faults=SLOW)))
    model.allocate_tensors("shm")
    if how == "close":
        request = model.submit()
        model.close()
    else:
        with model:
            request = model.submit()
    assert repr(model) == "Model(closed)"
    assert stand_in.call_count("dv_model_unload") == 0
    assert type(request.wait()) is ara2.ModelTiming
    order = registrations_in_call_order(stand_in, "dv_infer_free", "dv_model_unload", "dv_shmfd_unregister")
    assert order == ["dv_infer_free", "dv_model_unload", "dv_shmfd_unregister", "dv_shmfd_unregister"]
    assert stand_in.live_handles("model") == loaded


def test_a_with_block_left_by_an_exception_with_a_request_pending_reraises_it(open_model, stand_in):
    model = open_model(passthrough(64, faults=SLOW), memory="shm")
    with pytest.raises(KeyError, match="inside"):
        with model:
            request = model.submit()
            raise KeyError("inside")
    request.wait()
    assert stand_in.call_count("dv_model_unload") == 1


# ---------------------------------------------------------------------------
# Further tensor sets


def test_each_set_carries_its_own_request(open_model):
    model = open_model(TWO_IN_TWO_OUT, memory="shm")
    rng = np.random.default_rng(7)
    sets = [model.create_tensor_set(memory) for memory in ("mem", "shm", None)]
    frames = [(rng.integers(0, 256, 8, dtype=np.uint8), rng.integers(0, 256, 4, dtype=np.uint8)) for _ in sets]
    for tensors, (first, second) in zip(sets, frames):
        tensors.set_input_tensor(0, first)
        tensors.set_input_tensor(index=1, data=second)
    requests = [tensors.submit() for tensors in sets]
    for tensors, request, (first, second) in zip(sets, requests, frames):
        assert type(request.wait()) is ara2.ModelTiming
        np.testing.assert_array_equal(tensors.get_output_tensor(0).ravel(), first)
        np.testing.assert_array_equal(tensors.get_output_tensor(1).ravel(), second.view(np.int8))
        np.testing.assert_array_equal(tensors.dequantize(1).ravel(), second.view(np.int8).astype(np.float32))
    # The model's own tensors were never written.
    assert not model.get_output_tensor(0).any()


@pytest.mark.parametrize("memory", ["mem", "shm"])
def test_a_set_mirrors_the_models_data_methods(open_model, memory):
    model = open_model(TWO_IN_TWO_OUT)
    with model.create_tensor_set(memory) as tensors:
        assert [tensors.input_tensor_memory(i) for i in range(2)] == [memory] * 2
        assert tensors.output_tensor_memory(index=1) == memory
        tensors.set_input_tensor(0, np.arange(8, dtype=np.uint8))
        assert type(tensors.run()) is ara2.ModelTiming
        np.testing.assert_array_equal(tensors.get_output_tensor(0).ravel(), np.arange(8))
        with raises_exactly(IndexError, "input index 2 out of range (model has 2 inputs)"):
            tensors.set_input_tensor(2, b"")
        with raises_exactly(IndexError, "output index 5 out of range (model has 2 outputs)"):
            tensors.dequantize(5)
        with raises_exactly(ara2.TensorError, "input data size 3 bytes does not match tensor size 8 bytes"):
            tensors.set_input_tensor(0, np.zeros(3, np.uint8))
        if memory == "mem":
            with raises_exactly(ara2.TensorError, 'NotImplemented("MemTensor does not support clone_fd")'):
                tensors.output_tensor_fd(0)
        else:
            fd = tensors.input_tensor_fd(0)
            try:
                assert os.pread(fd, 8, 0) == bytes(range(8))
            finally:
                os.close(fd)
        assert repr(tensors) == "TensorSet(n_inputs=2, n_outputs=2, pending=0)"
    assert repr(tensors) == "TensorSet(closed)"


def test_a_sets_refusal_and_the_models_are_separate(open_model):
    model = open_model(passthrough(64, faults=SLOW), memory="shm")
    tensors = model.create_tensor_set("shm")
    request = tensors.submit()
    assert repr(tensors) == "TensorSet(n_inputs=1, n_outputs=1, pending=1)"
    model.set_input_tensor(0, BLUE)
    with raises_exactly(ara2.TensorError, IN_USE):
        tensors.set_input_tensor(0, RED)
    request.wait()
    tensors.set_input_tensor(0, RED)


def test_closed_sets_and_sets_of_closed_models_refuse_their_methods(open_model):
    model = open_model(passthrough(8))
    closed, orphan = model.create_tensor_set(), model.create_tensor_set()
    closed.close()
    closed.close()
    with raises_exactly(ara2.Ara2Error, "tensor set is closed"):
        closed.run()
    model.close()
    with raises_exactly(ara2.Ara2Error, "model is closed"):
        orphan.get_output_tensor(0)
    with raises_exactly(ara2.Ara2Error, "model is closed"):
        model.create_tensor_set()
    with raises_exactly(ara2.Ara2Error, "unknown memory type 'DMA': expected 'dma', 'shm', 'mem', or None"):
        open_model(passthrough(8)).create_tensor_set("DMA")


def test_a_closed_set_stays_with_its_pending_request(open_model, stand_in):
    model = open_model(passthrough(64, faults=SLOW))
    registrations = stand_in.live_handles("registration")
    tensors = model.create_tensor_set("shm")
    tensors.set_input_tensor(0, RED)
    request = tensors.submit()
    tensors.close()
    del tensors
    assert stand_in.live_handles("registration") == registrations + 2
    request.wait()
    assert stand_in.live_handles("registration") == registrations


def test_set_timeout_applies_to_the_sets_run(open_model):
    model = open_model(passthrough(8, faults={"latency_us": 50_000}))
    tensors = model.create_tensor_set()
    model.set_timeout_ms(5)
    with raises_exactly(ara2.Ara2Error, "Ara2 error: 30"):
        tensors.run()


def test_a_set_belongs_to_its_thread(open_model):
    tensors = open_model(passthrough(8)).create_tensor_set()
    outcome = {}

    def use():
        try:
            tensors.run()
        except BaseException as error:  # the internal failure is not an Exception
            outcome["error"] = error.with_traceback(None)

    thread = threading.Thread(target=use)
    thread.start()
    thread.join()
    assert type(outcome["error"]).__name__ == "InternalFailure"
    assert str(outcome["error"]) == "tallowind_ara2::model::TensorSet is unsendable, but sent to another thread"


def test_sets_leave_no_descriptor_or_registration_behind(open_model, stand_in):
    model = open_model(passthrough(4096))
    fds, registrations = len(os.listdir("/proc/self/fd")), stand_in.live_handles("registration")
    requests = stand_in.live_handles("request")
    for _ in range(50):
        tensors = model.create_tensor_set("shm")
        tensors.submit()  # dropped at once, freed without waiting
        tensors.run()
    del tensors
    assert len(os.listdir("/proc/self/fd")) == fds
    assert stand_in.live_handles("registration") == registrations
    assert stand_in.live_handles("request") == requests


def test_the_class_is_made_only_by_the_model():
    with pytest.raises(TypeError):
        ara2.TensorSet()
    assert ara2.Model.create_tensor_set.__text_signature__ == "($self, memory=None)"
    assert "TensorSet" not in ara2.__all__



class _Counting:
    """Input data that counts the calls of its tobytes()."""
    def __init__(self, data):
        self.data, self.calls = data, 0

    def tobytes(self):
        self.calls += 1
        return self.data.tobytes()


@pytest.mark.parametrize("on_set", [False, True])
def test_a_write_under_a_pending_request_is_refused_before_its_bytes_are_asked_for(open_model, on_set):
    model = open_model(passthrough(64, faults=SLOW), memory="shm")
    target = model.create_tensor_set("shm") if on_set else model
    target.set_input_tensor(0, RED)
    request = target.submit()
    data = _Counting(BLUE)
    with raises_exactly(ara2.TensorError, IN_USE):
        target.set_input_tensor(0, data)
    assert data.calls == 0
    request.wait()
    assert target.get_output_tensor(0).tobytes() == RED.tobytes()
    target.set_input_tensor(0, data)
    assert data.calls == 1
