"""Pipeline against an emulator with four endpoints: results equal run()'s
frame for frame and come back in order, failures injected mid-stream are
reported on their own frame while the rest go on, and nothing is left
behind on close, on a drop, on an error or on Ctrl-C."""
import _thread
import gc
import os
import signal
import threading
import time

import numpy as np
import pytest

import tallowind_ara2 as ara2
from ara2_emulator.daemon import Daemon
from ara2_emulator.model_builder import build_model
from fixtures.inference_models import passthrough
from fixtures.raising import raises_exactly
from fixtures.sanitizer import preloaded

# Two inputs, two outputs, every output byte depending on one input byte: a
# result read from the wrong slot or frame cannot go unnoticed.
MODEL = {
    "inputs": [{"name": "image", "shape": [1, 4, 16]}, {"name": "extra", "shape": [1, 1, 8]}],
    "outputs": [{"name": "copy", "shape": [1, 4, 16]},
                {"name": "scaled", "shape": [1, 1, 8], "is_signed": True, "qn": 0.25, "offset": 3}],
    "program": {"ops": [
        {"op": "copy", "src": "input:0", "dst": "output:0"},
        {"op": "requantize", "src": "input:1", "src_zero": 128, "scale": 0.5, "dst_zero": 1, "dst": "output:1"},
    ]},
}
HANDLES = ("request", "model", "registration", "session")


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    workdir = tmp_path_factory.mktemp("pipeline")
    daemon = Daemon({"proxy": {"interface_socket_file": [str(workdir / "proxy.sock")]},
                     "emulator": {"endpoints": 4}}, workdir=workdir).start()
    yield daemon
    daemon.close()


@pytest.fixture
def session(daemon):
    with ara2.Session.create_via_unix_socket(str(daemon.socket_path)) as session:
        yield session


@pytest.fixture
def model_path(tmp_path):
    def build(description=MODEL, name="model"):
        path = tmp_path / f"{name}.dvm"
        build_model(description, path)
        return path
    return build


@pytest.fixture
def nothing_left_behind(stand_in):
    """After the test: no request, model, registration or session more than
    before it, no more open descriptors and no new /dev/shm entries."""
    # The process's own counters (for ara2 top) appear at its first inference and stay.
    counters = f"tallowind_ara2.{os.getpid()}"
    gc.collect()
    before = ({kind: stand_in.live_handles(kind) for kind in HANDLES}, len(os.listdir("/proc/self/fd")),
              set(os.listdir("/dev/shm")) - {counters})
    yield
    gc.collect()
    after = ({kind: stand_in.live_handles(kind) for kind in HANDLES}, len(os.listdir("/proc/self/fd")),
             set(os.listdir("/dev/shm")) - {counters})
    assert after == before


def frames(count, seed=0):
    rng = np.random.default_rng(seed)
    return [(rng.integers(0, 256, (1, 4, 16), dtype=np.uint8), rng.integers(0, 256, 8, dtype=np.uint8))
            for _ in range(count)]


def run_results(endpoint, path, stream, dequantize=False):
    """What run() gives for each frame, on a model of its own."""
    with endpoint.load_model(path) as model:
        model.allocate_tensors("shm")
        read = model.dequantize if dequantize else model.get_output_tensor
        expected = []
        for first, second in stream:
            model.set_input_tensor(0, first)
            model.set_input_tensor(1, second)
            model.run()
            expected.append([read(0), read(1)])
        return expected


def assert_same_outputs(result, expected):
    assert result.error is None, result.error
    assert len(result.outputs) == len(expected)
    for got, want in zip(result.outputs, expected):
        assert got.dtype == want.dtype and got.shape == want.shape
        np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------------------
# Results


@pytest.mark.parametrize("endpoints, consume, memory, dequantize", [
    (1, "iterate", "shm", False), (2, "callback", "mem", True), (4, "get", None, False)])
def test_results_equal_run_frame_for_frame_and_in_order(session, model_path, nothing_left_behind, endpoints,
                                                        consume, memory, dequantize):
    path = model_path()
    stream = frames(2000, seed=endpoints)
    expected = run_results(session.list_endpoints()[0], path, stream, dequantize)
    received = []
    callback = received.append if consume == "callback" else None
    with ara2.Pipeline.open(session.list_endpoints()[:endpoints], path, requests=3, memory=memory,
                            dequantize=dequantize, callback=callback) as pipeline:
        assert pipeline.capacity == 3 * endpoints
        for number, frame in enumerate(stream):
            pipeline.put(list(frame) if number % 2 else frame, userdata=("frame", number))
            assert pipeline.in_flight <= pipeline.capacity
            if consume == "iterate":
                received.extend(pipeline.get() for _ in range(pipeline.ready))
            elif consume == "get" and number % 7 == 0:
                received.append(pipeline.get())
        pipeline.wait_all()
        assert pipeline.in_flight == 0 and session.inflight_count() == 0
        if callback is None:
            received.extend(pipeline)
    assert [r.index for r in received] == list(range(len(stream)))
    assert [r.userdata for r in received] == [("frame", n) for n in range(len(stream))]
    assert [r.endpoint for r in received] == [n % endpoints for n in range(len(stream))]
    for result, want in zip(received, expected):
        assert_same_outputs(result, want)
        assert type(result.timing) is ara2.ModelTiming


@pytest.mark.parametrize("endpoints", [1, 2, 4])
def test_frames_fail_on_their_own_and_the_stream_goes_on(session, model_path, stand_in, nothing_left_behind,
                                                         endpoints):
    # Each request of this model is reported queued, then running, before it completes.
    path = model_path({**MODEL, "faults": {"completion_states": [0, 1]}})
    stream = frames(3000, seed=9)
    expected = run_results(session.list_endpoints()[0], path, stream)
    stand_in.reset()
    received = []

    def inject(result):
        received.append(result)
        if result.index == 700:
            stand_in.inject_status("dv_infer_async", 150)  # the frame submitted next: 700 + capacity
        elif result.index == 1500:
            stand_in.inject_status("dv_infer_wait_for_completion", 203)  # the frame waited for next: 1501

    with ara2.Pipeline.open(session.list_endpoints()[:endpoints], path, callback=inject) as pipeline:
        refused = 700 + pipeline.capacity
        for frame in stream:
            pipeline.put(frame)
    failed = {r.index: r for r in received if r.error is not None}
    assert sorted(failed) == [refused, 1501]
    assert type(failed[refused].error) is ara2.HardwareError and failed[refused].error.args == ("Ara2 error: 150",)
    assert type(failed[1501].error) is ara2.ProxyError and failed[1501].error.args == ("Ara2 error: 203",)
    assert all(r.outputs == () and r.timing is None for r in failed.values())
    assert [r.index for r in received] == list(range(len(stream)))
    assert [r.endpoint for r in received] == [n % endpoints for n in range(len(stream))]
    for result in received:
        if result.index not in failed:
            assert_same_outputs(result, expected[result.index])
    assert session.inflight_count() == 0
    assert stand_in.call_count("dv_infer_free") == stand_in.call_count("dv_infer_async") - 1


@pytest.mark.parametrize("faults, error", [
    ({"final_state": 4}, "asynchronous inference failed on the NPU"),
    ({"final_state": 3}, "inference not completed (status=3)"),
    ({"null_completed": True}, "Null pointer error: dv_infer_wait_for_completion returned null completed pointer"),
])
def test_a_model_failing_every_frame_reports_each_one(session, model_path, nothing_left_behind, faults, error):
    path = model_path(passthrough(16, faults=faults))
    with ara2.Pipeline.open(session.list_endpoints(), path) as pipeline:
        for number in range(50):
            pipeline.put(np.full(16, number, np.uint8), number)
        results = list(pipeline)
    assert [r.userdata for r in results] == list(range(50))
    assert {(type(r.error), str(r.error)) for r in results} == {(ara2.Ara2Error, error)}
    assert repr(results[0]) == f"PipelineResult(index=0, endpoint=0, error={results[0].error!r})"


# ---------------------------------------------------------------------------
# Leaving nothing behind


def test_close_frees_what_is_in_flight_without_waiting(session, model_path, stand_in, nothing_left_behind):
    path = model_path(passthrough(16, faults={"latency_us": 200_000}))
    pipeline = ara2.Pipeline.open(session.list_endpoints()[:2], path, memory="shm")
    for _ in range(4):
        pipeline.put(np.zeros(16, np.uint8))
    assert session.inflight_count() == 4
    pipeline.close()
    pipeline.close()
    assert stand_in.call_count("dv_infer_wait_for_completion") == 0
    assert stand_in.call_count("dv_infer_free") == 4
    assert session.inflight_count() == 0
    assert repr(pipeline) == "Pipeline(closed)"
    for use in (lambda: pipeline.put(b""), pipeline.get, pipeline.wait_all, lambda: pipeline.in_flight,
                lambda: next(pipeline)):
        with raises_exactly(ara2.Ara2Error, "pipeline is closed"):
            use()


@pytest.mark.parametrize("cycle", [False, True])
def test_a_dropped_pipeline_releases_everything(session, model_path, stand_in, nothing_left_behind, cycle):
    path = model_path(passthrough(16, faults={"latency_us": 200_000}))
    before = stand_in.live_handles("request")  # an earlier test may leave one behind on purpose
    pipeline = ara2.Pipeline.open(session.list_endpoints(), path, memory="shm", callback=print)
    holder = [pipeline] if cycle else []  # user data that refers back to its pipeline
    for _ in range(3):
        pipeline.put(np.zeros(16, np.uint8), userdata=holder)
    del pipeline, holder
    assert stand_in.live_handles("request") - before == (3 if cycle else 0)
    gc.collect()
    assert stand_in.live_handles("request") == before and session.inflight_count() == 0


def test_leaving_a_with_block_waits_unless_an_exception_leaves_it(session, model_path, stand_in,
                                                                  nothing_left_behind):
    path = model_path(passthrough(16, faults={"latency_us": 20_000}))
    seen = []
    with ara2.Pipeline.open(session.list_endpoints(), path, callback=seen.append) as pipeline:
        for number in range(6):
            pipeline.put(np.zeros(16, np.uint8), number)
    assert [r.userdata for r in seen] == list(range(6))
    seen.clear()
    stand_in.reset()
    with pytest.raises(ZeroDivisionError):
        with ara2.Pipeline.open(session.list_endpoints(), path, callback=seen.append) as pipeline:
            pipeline.put(np.zeros(16, np.uint8))
            1 / 0
    assert seen == [] and stand_in.call_count("dv_infer_wait_for_completion") == 0


@pytest.fixture
def ctrl_c_after():
    """ctrl_c_after(seconds): a SIGINT, as from a terminal, delivered to the main thread later."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timers = []

    def arm(seconds):
        timers.append(threading.Timer(seconds, _thread.interrupt_main))
        timers[-1].start()

    yield arm
    for timer in timers:
        timer.cancel()
        timer.join()
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("blocked_in", ["put", "get", "wait_all"])
def test_ctrl_c_interrupts_a_blocked_call_and_the_block_leaves_nothing(session, model_path, stand_in, ctrl_c_after,
                                                                      nothing_left_behind, blocked_in):
    path = model_path(passthrough(16, faults={"latency_us": 5_000_000}))
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        with ara2.Pipeline.open(session.list_endpoints()[0], path, requests=2, memory="shm") as pipeline:
            pipeline.put(np.zeros(16, np.uint8))
            pipeline.put(np.zeros(16, np.uint8))
            ctrl_c_after(0.3)
            {"put": lambda: pipeline.put(np.ones(16, np.uint8)), "get": pipeline.get,
             "wait_all": pipeline.wait_all}[blocked_in]()
    assert time.monotonic() - start < 3
    assert repr(pipeline) == "Pipeline(closed)"
    assert session.inflight_count() == 0
    assert stand_in.call_count("dv_infer_async") == 2


# ---------------------------------------------------------------------------
# The interface


def test_get_and_iteration_when_nothing_is_in_flight(session, model_path):
    with ara2.Pipeline.open(session.list_endpoints()[0], model_path(passthrough(4))) as pipeline:
        assert list(pipeline) == []
        with raises_exactly(ara2.Ara2Error, "no frames in the pipeline"):
            pipeline.get()
        pipeline.put(np.arange(4, dtype=np.uint8))
        assert repr(pipeline) == "Pipeline(capacity=2, in_flight=1, ready=0)"
        pipeline.wait_all()
        assert (pipeline.in_flight, pipeline.ready) == (0, 1)
        result = pipeline.get()
        assert (result.index, result.userdata, result.endpoint) == (0, None, 0)
        np.testing.assert_array_equal(result.outputs[0].ravel(), np.arange(4))


def test_a_pipeline_with_a_callback_hands_out_nothing_else(session, model_path):
    calls = []
    with ara2.Pipeline.open(session.list_endpoints()[0], model_path(passthrough(4)), requests=1,
                            callback=calls.append) as pipeline:
        pipeline.put(np.zeros(4, np.uint8))
        for use in (pipeline.get, lambda: next(pipeline)):
            with raises_exactly(ara2.Ara2Error, "this pipeline hands its results to its callback"):
                use()
        pipeline.put(np.zeros(4, np.uint8))  # collects the first frame: one slot
        assert [r.index for r in calls] == [0]


def test_a_raising_callback_stops_the_call_but_not_the_pipeline(session, model_path):
    def callback(result):
        if result.index == 1:
            raise LookupError("from the callback")

    with ara2.Pipeline.open(session.list_endpoints()[0], model_path(passthrough(4)), requests=1,
                            callback=callback) as pipeline:
        pipeline.put(np.zeros(4, np.uint8))
        pipeline.put(np.zeros(4, np.uint8))
        with pytest.raises(LookupError):
            pipeline.put(np.zeros(4, np.uint8))
        assert pipeline.in_flight == 0
        pipeline.put(np.zeros(4, np.uint8))  # the failed put submitted nothing; this one goes on


def test_the_callback_cannot_reenter_its_pipeline(session, model_path):
    errors = []

    def callback(result):
        try:
            pipeline.put(np.zeros(4, np.uint8))
        except RuntimeError as error:
            errors.append(str(error))

    with ara2.Pipeline.open(session.list_endpoints()[0], model_path(passthrough(4)), callback=callback) as pipeline:
        pipeline.put(np.zeros(4, np.uint8))
    assert errors == ["Already mutably borrowed"]


def test_bad_frames_are_refused_before_anything_is_submitted(session, model_path, stand_in):
    with ara2.Pipeline.open(session.list_endpoints()[0], model_path()) as pipeline:
        first, second = frames(1)[0]
        with raises_exactly(ValueError, "expected 2 input(s), one per model input, got 1"):
            pipeline.put(first)
        with raises_exactly(ValueError, "expected 2 input(s), one per model input, got 3"):
            pipeline.put([first, second, second])
        with raises_exactly(ara2.TensorError, "input data size 7 bytes does not match tensor size 8 bytes"):
            pipeline.put((first, second[:7]))
        with pytest.raises(AttributeError):
            pipeline.put((first, [1, 2]))
        assert pipeline.in_flight == 0 and stand_in.call_count("dv_infer_async") == 0
        pipeline.put((first, second))
        assert pipeline.get().error is None


@pytest.mark.parametrize("arguments, error, message", [
    ({"endpoints": []}, ValueError, "argument 'endpoints': no endpoint given"),
    ({"endpoints": 3}, TypeError, "argument 'endpoints': expected an Endpoint or a sequence of Endpoints, got int"),
    ({"endpoints": "0"}, TypeError, "argument 'endpoints': expected an Endpoint or a sequence of Endpoints, got str"),
    ({"requests": 0}, ValueError, "argument 'requests': expected 1 to 1024 requests per endpoint, got 0"),
    ({"memory": "gpu"}, ara2.Ara2Error, "unknown memory type 'gpu': expected 'dma', 'shm', 'mem', or None"),
    ({"callback": 5}, TypeError, "argument 'callback': expected a callable or None, got int"),
])
def test_open_refuses_bad_arguments(session, model_path, stand_in, arguments, error, message):
    given = {"endpoints": session.list_endpoints(), "model_path": model_path(passthrough(4)), **arguments}
    with raises_exactly(error, message):
        ara2.Pipeline.open(**given)
    assert stand_in.call_count("dv_model_load_from_file") == 0


def test_open_refuses_outputs_it_cannot_read_and_leaves_nothing(session, model_path, stand_in, nothing_left_behind):
    path = model_path({"inputs": [{"shape": [1, 1, 4], "qmode": 5}], "outputs": [{"shape": [1, 1, 4]}]})
    with raises_exactly(ara2.Ara2Error, "unsupported quantization mode: qmode=5 (only qmode 9 is supported)"):
        ara2.Pipeline.open(session.list_endpoints()[:2], path, memory="shm", dequantize=True)
    assert stand_in.call_count("dv_model_unload") == 2
    with raises_exactly(ara2.ModelError, "Ara2 error: 240"):
        ara2.Pipeline.open(session.list_endpoints(), path.with_name("missing.dvm"))


def test_other_threads_run_while_a_put_waits(session, model_path):
    path = model_path(passthrough(4, faults={"latency_us": 300_000}))
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    with ara2.Pipeline.open(session.list_endpoints()[0], path, requests=1) as pipeline:
        pipeline.put(np.zeros(4, np.uint8))
        thread = threading.Thread(target=tick)
        thread.start()
        try:
            started = time.monotonic()
            pipeline.put(np.zeros(4, np.uint8))  # waits about 0.3 s for the first frame
            ended = time.monotonic()
        finally:
            stop.set()
            thread.join()
    assert len([t for t in ticks if started < t < ended]) >= 5


def test_a_pipeline_belongs_to_its_thread(session, model_path):
    with ara2.Pipeline.open(session.list_endpoints()[0], model_path(passthrough(4))) as pipeline:
        outcome = {}

        def use():
            try:
                pipeline.put(np.zeros(4, np.uint8))
            except BaseException as error:  # the internal failure is not an Exception
                outcome["error"] = error.with_traceback(None)

        thread = threading.Thread(target=use)
        thread.start()
        thread.join()
        assert str(outcome["error"]) == "tallowind_ara2::pipeline::Pipeline is unsendable, but sent to another thread"
        assert pipeline.in_flight == 0


def test_dma_buf_tensors_through_the_interposed_heaps(model_child, build_dir, tmp_path):
    path = tmp_path / "copy.dvm"
    build_model(passthrough(64), path)
    out = model_child(f"""
        import numpy as np
        stream = [np.full(64, n, np.uint8) for n in range(200)]
        with ara2.Pipeline.open(session.list_endpoints(), {str(path)!r}, memory="dma") as pipeline:
            for frame in stream:
                pipeline.put(frame)
            print(all(int(r.outputs[0].ravel()[0]) == r.index for r in pipeline))
        """, env={"LD_PRELOAD": preloaded(build_dir / "tests" / "interpose" / "libdma_heap_interposer.so"),
                  "TALLOWIND_TEST_DMA_LOG": str(tmp_path / "dma.log")})
    assert out.splitlines() == ["True"]
    assert (tmp_path / "dma.log").read_text().count("alloc ") == 2 * 2 * 2  # 2 endpoints x 2 sets x 2 tensors


def test_the_classes_are_made_only_by_the_module():
    for cls in (ara2.Pipeline, ara2.PipelineResult):
        with pytest.raises(TypeError):
            cls()
        assert cls.__name__ not in ara2.__all__
    assert ara2.Pipeline.open.__text_signature__ == (
        "(endpoints, model_path, requests=2, memory=None, dequantize=False, callback=None)")
