"""Loading models on an endpoint, their tensor descriptions, closing, and the
rules for threads and re-entrant use."""
import gc
import json
import os
import pathlib
import struct
import threading

import pytest
import tallowind_ara2 as ara2

U64_MAX = 2**64 - 1


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


SIMPLE = {"inputs": [{"shape": [3, 4, 5]}], "outputs": [{"shape": [1, 1, 10]}]}

DESCRIBED = {
    "inputs": [
        {"layer_name": {"hex": "6c61ff79"}, "blob_name": "in-blob", "layer_id": 7, "blob_id": -2,
         "layer_type": "Convolution", "layout": "NCHW", "shape": [3, 4, 5], "bpp": 2, "size": -1,
         "batch_size": 2, "qn": 0.1, "offset": -3, "is_signed": True, "qmode": 5,
         "mean": [1.5, 2.5, 3.5], "scale": [0.25, 0.5, 0.75], "bgr_to_rgb": True, "mirror": True,
         "aspect_resize": False, "center_crop": True},
        # Four channels: the per-channel arrays cannot describe it, defaults stand.
        {"name": "four", "shape": [4, 2, 2], "mean": [9.0, 9.0, 9.0], "scale": [7.0, 7.0, 7.0],
         "aspect_resize": True},
        {"name": "no_mean", "shape": [3, 1, 1], "mean": None, "scale": [2.0, 2.0, 2.0]},
        {"name": "no_scale", "shape": [2, 1, 1], "mean": [5.0, 5.0, 5.0], "scale": None, "mirror": True},
    ],
    "outputs": [
        {"layer_name": "scores", "blob_name": "out-blob", "layer_id": 11, "blob_id": 12, "fused_parent_id": 3,
         "layer_fused_parent_name": "conv\xe9", "layer_type": "Softmax", "layout": "CHW", "shape": [10, 1, 1],
         "bpp": 1, "size": 4000, "num_classes": 10, "layer_output_type": "classification",
         "max_dynamic_id": -5, "qn": 0.5, "offset": -128, "is_signed": True},
        {"name": "boxes", "shape": [4, 2, 8], "bpp": 4, "layer_output_type": "detection"},
        {"name": "unknown", "shape": [1, 2, 3], "size": 17, "bpp": 2, "layer_output_type": 4},
    ],
}

EXPECTED_INPUTS = [
    dict(layer_id=7, blob_id=-2, layer_name="la\ufffdy", blob_name="in-blob", layer_type="Convolution",
         layout="NCHW", size=U64_MAX, width=5, height=4, nch=3, bpp=2, batch_size=2),
    dict(layer_name="four", blob_name="four", nch=4, height=2, width=2, size=16),
    dict(layer_name="no_mean", nch=3, height=1, width=1),
    dict(layer_name="no_scale", nch=2, height=1, width=1),
]
EXPECTED_QUANTS = [dict(qn=f32(0.1), offset=-3, is_signed=True, qmode=5),
                   dict(qn=1.0, offset=0, is_signed=False, qmode=9),
                   dict(qn=1.0, offset=0, is_signed=False, qmode=9),
                   dict(qn=1.0, offset=0, is_signed=False, qmode=9)]
EXPECTED_PREPROCESS = [
    dict(mean=(1.5, 2.5, 3.5), scale=(0.25, 0.5, 0.75), bgr_to_rgb=True, aspect_resize=False, mirror=True,
         center_crop=True),
    dict(mean=(0.0, 0.0, 0.0), scale=(1.0, 1.0, 1.0), bgr_to_rgb=False, aspect_resize=True, mirror=False,
         center_crop=False),
    dict(mean=(0.0, 0.0, 0.0), scale=(1.0, 1.0, 1.0)),
    dict(mean=(0.0, 0.0, 0.0), scale=(1.0, 1.0, 1.0), mirror=True),
]
EXPECTED_OUTPUTS = [
    dict(layer_id=11, blob_id=12, fused_parent_id=3, layer_name="scores", blob_name="out-blob",
         layer_fused_parent_name="conv\xe9", layer_type="Softmax", layout="CHW", size=4000, width=1,
         height=1, nch=10, bpp=1, num_classes=10, max_dynamic_id=-5),
    dict(layer_name="boxes", nch=4, height=2, width=8, size=256, bpp=4, fused_parent_id=-1),
]


def assert_fields(record, expected):
    assert {key: getattr(record, key) for key in expected} == expected


@pytest.fixture
def described(load_model):
    return load_model(DESCRIBED)


class TestDescriptions:
    def test_counts_and_repr(self, described):
        assert (described.n_inputs, described.n_outputs) == (4, 3)
        assert repr(described) == "Model(n_inputs=4, n_outputs=3)"

    @pytest.mark.parametrize("index", range(4))
    def test_input_descriptions(self, described, index):
        info = described.input_info(index)
        assert_fields(info, EXPECTED_INPUTS[index])
        assert_fields(info.quant, EXPECTED_QUANTS[index])
        assert_fields(described.input_quants(index), EXPECTED_QUANTS[index])
        assert_fields(info.preprocess, EXPECTED_PREPROCESS[index])
        assert_fields(described.input_preprocess(index), EXPECTED_PREPROCESS[index])
        shape = (info.nch, info.height, info.width)
        assert described.input_shape(index) == shape
        assert (described.input_size(index), described.input_bpp(index)) == (info.size, info.bpp)

    @pytest.mark.parametrize("index", range(2))
    def test_output_descriptions(self, described, index):
        info = described.output_info(index)
        assert_fields(info, EXPECTED_OUTPUTS[index])
        assert described.output_shape(index) == (info.nch, info.height, info.width)
        assert (described.output_size(index), described.output_bpp(index)) == (info.size, info.bpp)
        assert repr(described.output_quants(index)) == repr(info.quant)

    def test_output_types_are_the_shared_members(self, described):
        assert described.output_info(0).layer_output_type is ara2.ModelOutputType.Classification
        assert described.output_info(1).layer_output_type is ara2.ModelOutputType.Detection
        assert repr(described.output_quants(0)) == "OutputQuantization(qn=0.5, offset=-128, is_signed=true)"

    @pytest.mark.parametrize("method", ["output_info", "output_quants"])
    def test_unknown_output_type_fails_the_full_description(self, described, method):
        with pytest.raises(ara2.ModelError) as caught:
            getattr(described, method)(2)
        assert caught.value.args == ("Unknown layer output type: 4",)

    def test_unknown_output_type_leaves_the_sizing_fields_readable(self, described):
        assert described.output_shape(2) == (1, 2, 3)
        assert (described.output_size(2), described.output_bpp(2)) == (17, 2)
        # The model is unchanged by the failure.
        assert described.output_info(1).layer_name == "boxes"

    def test_each_call_builds_a_new_record_that_outlives_the_model(self, described):
        first, second = described.input_info(0), described.input_info(0)
        assert first is not second
        described.close()
        assert first.layer_name == "la\ufffdy"


THREE_OUTPUTS = {
    "inputs": [{"shape": [1, 1, 4]}],
    "outputs": [{"name": f"out{i}", "shape": [i + 1, 2, 3], "size": 100 + i, "bpp": i + 1, "offset": i}
                for i in range(3)],
}


def three_output_rows(model):
    return [[model.output_info(i).layer_name, model.output_shape(i), model.output_size(i),
             model.output_quants(i).offset] for i in range(3)]


EXPECTED_ROWS = [[f"out{i}", (i + 1, 2, 3), 100 + i, i] for i in range(3)]


def test_three_outputs_are_read_at_the_generation_stride(load_model, model_session):
    assert model_session.abi is ara2.Abi.V1_3
    assert three_output_rows(load_model(THREE_OUTPUTS)) == EXPECTED_ROWS


@pytest.mark.parametrize("variant", ["v1_1", "v1_3"])
def test_three_outputs_in_a_child_of_each_generation(model_child, tmp_path, variant):
    path = tmp_path / "three.dvm"
    from ara2_emulator.model_builder import build_model
    build_model(THREE_OUTPUTS, path)
    out = model_child(f"""
        import json
        model = endpoint.load_model({str(path)!r})
        print(json.dumps([str(session.abi),
                          [[model.output_info(i).layer_name, list(model.output_shape(i)),
                            model.output_size(i), model.output_quants(i).offset] for i in range(3)]]))
        model.close()
        """, variant=variant)
    abi, rows = json.loads(out)
    assert abi == variant[1:].replace("_", ".")
    assert rows == [[name, list(shape), size, offset] for name, shape, size, offset in EXPECTED_ROWS]


# ------------------------------------------------------------------ loading


@pytest.mark.parametrize("relative, name", [
    ("dir/net.best.dvm", b"net.best"),
    ("dir/yolo.dvm", b"yolo"),
    ("dir/.hidden", b".hidden"),
    ("dir/plain", b"plain"),
    ("dir/na\udcffme.dvm", b"na\xef\xbf\xbdme"),
])
@pytest.mark.parametrize("as_path", [False, True], ids=["str", "pathlib"])
def test_model_name_is_the_file_stem(load_model, tmp_path, stand_in, relative, name, as_path):
    path = tmp_path / relative
    path.parent.mkdir(exist_ok=True)
    from ara2_emulator.model_builder import build_model
    build_model(SIMPLE, path)
    load_model(path=path if as_path else str(path))
    call = stand_in.last_call("dv_model_load_from_file")
    assert (call["path"], call["name"], call["flags"]) == (os.fsencode(path), name, 1)


@pytest.mark.parametrize("path, message", [
    ("dir/a\0b.dvm", "Null pointer error: Invalid model path"),
    ("a\0", "Null pointer error: Invalid model path"),
])
def test_interior_nul_is_refused_before_the_library_is_called(model_endpoint, stand_in, path, message):
    with pytest.raises(ara2.Ara2Error) as caught:
        model_endpoint.load_model(path)
    assert type(caught.value) is ara2.Ara2Error and caught.value.args == (message,)
    assert stand_in.call_count("dv_model_load_from_file") == 0


@pytest.mark.parametrize("argument", [b"model.dvm", 3, None])
def test_path_must_be_text(model_endpoint, argument):
    with pytest.raises(TypeError, match="model_path"):
        model_endpoint.load_model(argument)


@pytest.mark.parametrize("code, cls", [(99, ara2.Ara2Error), (150, ara2.HardwareError), (239, ara2.ProxyError),
                                       (240, ara2.ModelError), (299, ara2.ModelError), (300, ara2.LibraryError)])
def test_failed_load_raises_by_status_range_and_leaves_nothing(load_model, stand_in, code, cls):
    before = stand_in.live_handles("model")
    stand_in.inject_status("dv_model_load_from_file", code)
    with pytest.raises(cls) as caught:
        load_model(SIMPLE)
    assert type(caught.value) is cls and caught.value.args == (f"Ara2 error: {code}",)
    assert stand_in.live_handles("model") == before
    assert load_model(SIMPLE).n_inputs == 1  # the endpoint is usable again


def test_missing_file_is_a_status_error(model_endpoint, tmp_path):
    with pytest.raises(ara2.Ara2Error, match=r"^Ara2 error: \d+$"):
        model_endpoint.load_model(tmp_path / "absent.dvm")


def test_load_model_accepts_a_keyword(model_endpoint, tmp_path, stand_in):
    from ara2_emulator.model_builder import build_model
    build_model(SIMPLE, tmp_path / "kw.dvm")
    with model_endpoint.load_model(model_path=tmp_path / "kw.dvm") as model:
        assert model.n_outputs == 1


# ------------------------------------------------------------------ index checks


DESCRIPTION_METHODS = ["input_info", "input_shape", "input_size", "input_bpp", "input_quants", "input_preprocess",
                       "output_info", "output_shape", "output_size", "output_bpp", "output_quants"]


@pytest.mark.parametrize("method", DESCRIPTION_METHODS)
def test_index_at_the_count_is_an_index_error(load_model, method):
    model = load_model(SIMPLE)
    direction = method.split("_")[0]
    with pytest.raises(IndexError) as caught:
        getattr(model, method)(1)
    assert caught.value.args == (f"{direction} index 1 out of range (model has 1 {direction}s)",)
    with pytest.raises(IndexError, match=f"{direction} index {U64_MAX} out"):
        getattr(model, method)(U64_MAX)


@pytest.mark.parametrize("method", DESCRIPTION_METHODS)
@pytest.mark.parametrize("index, error", [(-1, OverflowError), (2**64, OverflowError), ("0", TypeError),
                                          (0.0, TypeError)])
def test_index_conversion_errors(load_model, method, index, error):
    model = load_model(SIMPLE)
    with pytest.raises(error):
        getattr(model, method)(index)


@pytest.mark.parametrize("method", DESCRIPTION_METHODS)
def test_closed_model_is_reported_before_the_index(load_model, method):
    model = load_model(SIMPLE)
    model.close()
    with pytest.raises(ara2.Ara2Error) as caught:
        getattr(model, method)(5)
    assert type(caught.value) is ara2.Ara2Error and caught.value.args == ("model is closed",)


@pytest.mark.parametrize("member", ["n_inputs", "n_outputs"])
def test_counts_of_a_closed_model(load_model, member):
    model = load_model(SIMPLE)
    model.close()
    with pytest.raises(ara2.Ara2Error, match="^model is closed$"):
        getattr(model, member)


# ------------------------------------------------------------------ timeout, close, lifetime


@pytest.mark.parametrize("value", [-1, 2**32, 2**70])
def test_timeout_out_of_range_keeps_the_previous_value(load_model, stand_in, value):
    model = load_model(SIMPLE)
    model.set_timeout_ms(300)
    with pytest.raises(OverflowError) as caught:
        model.set_timeout_ms(value)
    assert caught.value.args == ("out of range integral type conversion attempted",)
    model.allocate_tensors("mem")
    model.run()
    assert stand_in.last_call("dv_infer_sync")["timeout_ms"] == 300


def test_timeout_accepts_the_u32_range_and_refuses_a_closed_model(load_model):
    model = load_model(SIMPLE)
    assert model.set_timeout_ms(0) is None
    assert model.set_timeout_ms(timeout_ms=2**32 - 1) is None
    model.close()
    with pytest.raises(ara2.Ara2Error, match="^model is closed$"):
        model.set_timeout_ms(5)


def test_close_unloads_once_and_is_idempotent(load_model, stand_in):
    model = load_model(SIMPLE)
    before = stand_in.live_handles("model")
    assert model.close() is None
    assert model.close() is None
    assert stand_in.call_count("dv_model_unload") == 1
    assert stand_in.live_handles("model") == before - 1
    assert repr(model) == "Model(closed)"


def test_with_block_closes_and_propagates(load_model, stand_in):
    model = load_model(SIMPLE)
    with pytest.raises(KeyError):
        with model as entered:
            assert entered is model
            raise KeyError("inside")
    assert repr(model) == "Model(closed)"
    assert model.__exit__(None, None, None) is False
    assert stand_in.call_count("dv_model_unload") == 1


def test_exit_requires_its_three_arguments(load_model):
    model = load_model(SIMPLE)
    with pytest.raises(TypeError):
        model.__exit__(None, None)
    assert model.n_inputs == 1


def test_dropping_the_last_reference_unloads(model_endpoint, tmp_path, stand_in):
    from ara2_emulator.model_builder import build_model
    build_model(SIMPLE, tmp_path / "m.dvm")
    model = model_endpoint.load_model(tmp_path / "m.dvm")
    before = stand_in.live_handles("model")
    del model
    gc.collect()
    assert stand_in.call_count("dv_model_unload") == 1
    assert stand_in.live_handles("model") == before - 1


def test_model_keeps_its_endpoint_array_and_session_until_closed(emulator, tmp_path, stand_in):
    from ara2_emulator.model_builder import build_model
    build_model(DESCRIBED, tmp_path / "m.dvm")
    session = ara2.Session.create_via_unix_socket(emulator.socket_path)
    endpoints = session.list_endpoints()
    model = endpoints[0].load_model(tmp_path / "m.dvm")
    session.close()
    del endpoints, session
    gc.collect()
    assert stand_in.call_count("dv_endpoint_free_group") == 0
    assert model.input_info(0).nch == 3
    # The record is still passed to the library, which counts it as misuse
    # once its array is freed.
    model.allocate_tensors("shm")
    model.run()
    assert stand_in.misuse_count == 0
    model.close()
    order = [call["fn"] for call in stand_in.calls()
             if call["fn"] in ("dv_model_unload", "dv_endpoint_free_group", "dv_session_close")]
    assert order == ["dv_model_unload", "dv_endpoint_free_group", "dv_session_close"]


def test_class_cannot_be_instantiated_or_subclassed():
    with pytest.raises(TypeError):
        ara2.Model()
    with pytest.raises(TypeError):
        type("Sub", (ara2.Model,), {})


@pytest.mark.parametrize("method, signature", [
    *[(name, "($self, index)") for name in DESCRIPTION_METHODS],
    ("set_timeout_ms", "($self, timeout_ms)"), ("close", "($self)"), ("__enter__", "($self)"),
    ("__exit__", "($self, exc_type, exc_val, exc_tb)"), ("allocate_tensors", "($self, memory=None)"),
    ("input_tensor_memory", "($self, index)"), ("output_tensor_fd", "($self, index)"),
])
def test_text_signatures(method, signature):
    assert getattr(ara2.Model, method).__text_signature__ == signature


# ------------------------------------------------------------------ threads and re-entrancy


def run_in_thread(function):
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:  # the internal failure is not an Exception
            # Without its frames, so the model is not freed later by a collection on another thread.
            outcome["error"] = error.with_traceback(None)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize("use", [
    lambda m: m.n_inputs, lambda m: m.input_info(0), lambda m: m.close(), lambda m: repr(m),
    lambda m: m.allocate_tensors("mem"), lambda m: m.set_timeout_ms(1), lambda m: m.__enter__(),
], ids=["n_inputs", "input_info", "close", "repr", "allocate_tensors", "set_timeout_ms", "enter"])
def test_use_from_another_thread_is_an_internal_failure(load_model, stand_in, use):
    model = load_model(SIMPLE)
    outcome = run_in_thread(lambda: use(model))
    error = outcome.get("error")
    assert error is not None and type(error).__bases__ == (BaseException,)
    assert str(error) == "tallowind_ara2::model::Model is unsendable, but sent to another thread"
    assert stand_in.call_count("dv_model_unload") == 0
    assert model.n_inputs == 1


def test_dropped_on_another_thread_is_reported_and_left_loaded(model_child, tmp_path):
    from ara2_emulator.model_builder import build_model
    build_model(SIMPLE, tmp_path / "m.dvm")
    out = model_child(f"""
        import threading
        from ara2_emulator.control import StandIn
        stand_in = StandIn()
        reports = []
        sys.unraisablehook = lambda report: reports.append((type(report.exc_value), str(report.exc_value)))
        holder = [endpoint.load_model({str(tmp_path / "m.dvm")!r})]
        thread = threading.Thread(target=holder.clear)
        thread.start()
        thread.join()
        print(reports == [(RuntimeError,
                           "tallowind_ara2::model::Model is unsendable, but is being dropped on another thread")])
        print(stand_in.call_count("dv_model_unload"), stand_in.live_handles("model"))
        """)
    assert out.split("\n")[:2] == ["True", "0 1"]


class CallsBack:
    """An index whose conversion runs code against the model first."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 0


@pytest.mark.parametrize("outer, inner, message", [
    ("input_info", lambda m: m.close(), "Already borrowed"),
    ("output_shape", lambda m: m.set_timeout_ms(3), "Already borrowed"),
    ("input_size", lambda m: m.allocate_tensors(), "Already borrowed"),
    ("input_info", lambda m: m.output_info(0), None),
    ("input_bpp", lambda m: m.n_outputs, None),
    ("set_timeout_ms", lambda m: m.n_inputs, "Already mutably borrowed"),
    ("set_timeout_ms", lambda m: m.input_info(0), "Already mutably borrowed"),
    ("set_timeout_ms", lambda m: m.close(), "Already mutably borrowed"),
    ("input_tensor_memory", lambda m: repr(m), "Already mutably borrowed"),
])
def test_reentrant_use_during_a_method(load_model, stand_in, outer, inner, message):
    model = load_model(SIMPLE)
    model.allocate_tensors("mem")
    call = lambda: getattr(model, outer)(CallsBack(lambda: inner(model)))
    if message is None:
        call()
    else:
        with pytest.raises(RuntimeError) as caught:
            call()
        assert type(caught.value) is RuntimeError and caught.value.args == (message,)
    assert stand_in.call_count("dv_model_unload") == 0
    assert model.input_shape(0) == (3, 4, 5)
