"""set_input_tensor(), get_output_tensor() and dequantize() against the
emulator: byte-exact round trips, element types and shapes, dequantisation,
and the failures that must leave the tensors untouched."""
import array
import os
import textwrap

import numpy as np
import pytest

import tallowind_ara2 as ara2
from fixtures.inference_models import passthrough
from fixtures.raising import raises_exactly

NOT_ALLOCATED = "tensors not allocated: call allocate_tensors() first"
INCOMPATIBLE = "ShapeError/IncompatibleShape: incompatible shapes"
OUT_OF_BOUNDS = "ShapeError/OutOfBounds: out of bounds indexing"


def random_bytes(n, seed=7):
    return np.random.default_rng(seed).integers(0, 256, n, dtype=np.uint8)


def raw_output_model(open_model, raw, memory="mem", **output):
    """A model whose output 0 holds exactly `raw` after a run."""
    raw = np.asarray(raw, dtype=np.uint8)
    output.setdefault("shape", [1, 1, raw.size])
    model = open_model(passthrough(raw.size, **output), memory=memory)
    model.set_input_tensor(0, raw)
    model.run()
    return model


# ---------------------------------------------------------------------------
# Round trips


@pytest.mark.parametrize("memory", ["mem", "shm"])
@pytest.mark.parametrize("infer", ["run", "submit"])
def test_bytes_round_trip_through_the_model(open_model, memory, infer):
    data = random_bytes(3 * 1024 + 5).reshape(1, 1, -1)
    model = open_model(passthrough(data.size), memory=memory)
    model.set_input_tensor(0, data)
    if infer == "run":
        model.run()
    else:
        model.submit().wait()
    out = model.get_output_tensor(0)
    assert out.dtype == np.uint8 and out.shape == (1, 1, data.size)
    np.testing.assert_array_equal(out, data)


@pytest.mark.parametrize("variant", ["v1_1", "v1_3"])
@pytest.mark.parametrize("memory", ["mem", "shm"])
def test_round_trip_in_each_generation(child_python, emulator, emulated_model, variant, memory):
    # Two outputs, so the second output record sits at the generation's stride.
    path = emulated_model({
        "inputs": [{"shape": [1, 1, 256]}],
        "outputs": [{"shape": [1, 1, 16]}, {"shape": [1, 4, 32], "bpp": 2, "is_signed": True}],
        "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:1", "length": 256},
                            {"op": "copy", "src": "input:0", "dst": "output:0", "length": 16}]},
    })
    code = textwrap.dedent(f"""
        import numpy as np
        import tallowind_ara2 as ara2
        data = np.arange(256, dtype=np.uint8)[::-1].copy()
        with ara2.Session.create_via_unix_socket({emulator.socket_path!r}) as session:
            assert session.abi == ara2.Abi.{variant.upper()}, session.abi
            with session.list_endpoints()[0].load_model({str(path)!r}) as model:
                model.allocate_tensors({memory!r})
                model.set_input_tensor(0, data)
                model.submit().wait()
                first, second = model.get_output_tensor(0), model.get_output_tensor(1)
                assert (first.ravel() == data[:16]).all()
                assert second.dtype == np.int16 and second.shape == (1, 4, 32)
                assert (second.ravel() == data.view("<i2")).all()
                model.run()
                assert (model.get_output_tensor(1).ravel() == data.view("<i2")).all()
        print("ok")
    """)
    result = child_python(code, variant=variant)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# ---------------------------------------------------------------------------
# set_input_tensor


@pytest.mark.parametrize("make", [
    lambda b: b.reshape(1, 1, -1),
    lambda b: b.view(np.float32),                       # a quarter as many elements, same bytes
    lambda b: b.view(np.int16).reshape(4, -1),
    lambda b: memoryview(b.tobytes()),
    lambda b: array.array("B", b.tobytes()),
    lambda b: np.frombuffer(b.tobytes(), dtype=">u2"),  # byte order is not converted
], ids=["uint8", "float32", "int16-2d", "memoryview", "array", "big-endian"])
def test_any_object_with_tobytes_is_copied_verbatim(open_model, make):
    data = random_bytes(64)
    model = open_model(passthrough(64))
    model.set_input_tensor(0, make(data))
    model.run()
    np.testing.assert_array_equal(model.get_output_tensor(0).ravel(), data)


@pytest.mark.parametrize("make", [
    lambda b: np.asfortranarray(b.reshape(8, 8)),
    lambda b: np.stack([b, b], axis=1).reshape(128)[::2],
], ids=["fortran", "strided"])
def test_non_contiguous_arrays_are_copied_in_c_order(open_model, make):
    data = make(random_bytes(64))
    model = open_model(passthrough(64))
    model.set_input_tensor(0, data)
    model.run()
    assert model.get_output_tensor(0).tobytes() == data.tobytes()


def test_an_ndarray_subclass_goes_through_its_tobytes(open_model):
    class Reversed(np.ndarray):
        def tobytes(self, order="C"):
            return np.asarray(self).tobytes()[::-1]

    data = random_bytes(16)
    model = open_model(passthrough(16))
    model.set_input_tensor(0, data.view(Reversed))
    model.run()
    np.testing.assert_array_equal(model.get_output_tensor(0).ravel(), data[::-1])


def test_size_mismatch_writes_nothing(open_model):
    data = random_bytes(32)
    model = open_model(passthrough(32))
    model.set_input_tensor(0, data)
    with raises_exactly(ara2.TensorError, "input data size 31 bytes does not match tensor size 32 bytes"):
        model.set_input_tensor(0, np.zeros(31, np.uint8))
    with raises_exactly(ara2.TensorError, "input data size 36 bytes does not match tensor size 32 bytes"):
        model.set_input_tensor(0, np.zeros(9, np.float32))
    model.run()
    np.testing.assert_array_equal(model.get_output_tensor(0).ravel(), data)


class Raises:
    def tobytes(self):
        raise ValueError("no bytes today")


class GivesText:
    def tobytes(self):
        return "abcd"


@pytest.mark.parametrize("data, error", [
    (b"abcd", AttributeError), (None, AttributeError), (Raises(), ValueError), (GivesText(), TypeError),
])
def test_unusable_data_raises_and_writes_nothing(open_model, data, error):
    model = open_model(passthrough(4))
    model.set_input_tensor(0, np.array([1, 2, 3, 4], np.uint8))
    with pytest.raises(error) as info:
        model.set_input_tensor(0, data)
    if isinstance(data, Raises):
        assert str(info.value) == "no bytes today"
    model.run()
    assert model.get_output_tensor(0).ravel().tolist() == [1, 2, 3, 4]


def test_tobytes_may_not_reenter_the_model(open_model):
    model = open_model(passthrough(4))

    class Sneaky:
        def tobytes(self):
            model.get_output_tensor(0)
            return b"abcd"

    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        model.set_input_tensor(0, Sneaky())


# ---------------------------------------------------------------------------
# get_output_tensor: element types and shapes


@pytest.mark.parametrize("bpp, signed, dtype, shape", [
    (1, False, np.uint8, (2, 2, 3)), (1, True, np.int8, (2, 2, 3)),
    (2, False, np.dtype("<u2"), (1, 2, 3)), (2, True, np.dtype("<i2"), (3, 2, 1)),
    (4, False, np.dtype("<f4"), (1, 3, 1)), (4, True, np.dtype("<f4"), (3, 1, 1)),
])
@pytest.mark.parametrize("memory", ["mem", "shm"])
def test_element_type_by_bpp_and_sign(open_model, bpp, signed, dtype, shape, memory):
    raw = random_bytes(12)
    model = raw_output_model(open_model, raw, memory=memory, bpp=bpp, is_signed=signed, shape=list(shape))
    out = model.get_output_tensor(0)
    assert out.dtype == np.dtype(dtype).newbyteorder("=") and out.shape == shape
    np.testing.assert_array_equal(out, np.frombuffer(raw.tobytes(), dtype=dtype).reshape(shape))


def test_trailing_bytes_that_fill_no_element_are_ignored(open_model):
    raw = random_bytes(1001)
    model = raw_output_model(open_model, raw, bpp=2, shape=[1, 1, 500], size=1001)
    out = model.get_output_tensor(0)
    assert out.dtype == np.uint16 and out.shape == (1, 1, 500)
    np.testing.assert_array_equal(out.ravel(), raw[:1000].view("<u2"))


SHAPE_ROWS = [
    (1, [1, 1, 11], INCOMPATIBLE), (1, [1, 1, 13], OUT_OF_BOUNDS), (2, [1, 1, 5], INCOMPATIBLE),
    (2, [1, 7, 1], OUT_OF_BOUNDS), (4, [2, 2, 1], OUT_OF_BOUNDS), (1, [0, 1, 1], INCOMPATIBLE),
    (1, [-1, 1, 12], OUT_OF_BOUNDS),
]


# dequantize refuses bpp 4 before it looks at the shape
@pytest.mark.parametrize("method, bpp, shape, message",
                         [("get_output_tensor", *row) for row in SHAPE_ROWS] +
                         [("dequantize", *row) for row in SHAPE_ROWS if row[0] != 4])
def test_element_count_must_fill_the_shape(open_model, method, bpp, shape, message):
    model = raw_output_model(open_model, random_bytes(12), bpp=bpp, shape=shape, size=12)
    with raises_exactly(ara2.TensorError, message):
        getattr(model, method)(0)


@pytest.mark.parametrize("bpp", [0, 3, 8, -1])
def test_unsupported_bpp(open_model, bpp):
    model = raw_output_model(open_model, random_bytes(8), bpp=bpp, size=8)
    shown = bpp % 2**64
    with raises_exactly(ara2.TensorError, f"unsupported output bpp={shown} for index 0"):
        model.get_output_tensor(0)
    with raises_exactly(ara2.TensorError, f"unsupported output bpp={shown} for dequantize on index 0"):
        model.dequantize(0)


def test_dequantize_refuses_float_outputs(open_model):
    model = raw_output_model(open_model, random_bytes(8), bpp=4, shape=[1, 1, 2])
    assert model.get_output_tensor(0).dtype == np.float32
    with raises_exactly(ara2.TensorError, "unsupported output bpp=4 for dequantize on index 0"):
        model.dequantize(0)


@pytest.mark.parametrize("method", ["get_output_tensor", "dequantize"])
def test_unknown_layer_output_type(open_model, method):
    model = raw_output_model(open_model, random_bytes(4), layer_output_type=7)
    with raises_exactly(ara2.ModelError, "Unknown layer output type: 7"):
        getattr(model, method)(0)


# ---------------------------------------------------------------------------
# Returned arrays


@pytest.mark.parametrize("method", ["get_output_tensor", "dequantize"])
def test_returned_arrays_are_fresh_writable_copies(open_model, method):
    raw = random_bytes(16)
    model = raw_output_model(open_model, raw)
    first = getattr(model, method)(0)
    expected = first.copy()
    assert first.flags.c_contiguous and first.flags.writeable and not first.flags.owndata
    assert type(first.base).__name__ == "PySliceContainer"
    assert repr(type(first.base)) == "<class 'PySliceContainer'>"
    assert not hasattr(ara2, "PySliceContainer")
    first[...] = 0
    second = getattr(model, method)(0)
    assert not np.shares_memory(first, second)
    np.testing.assert_array_equal(second, expected)


def test_arrays_outlive_the_model(open_model):
    raw = random_bytes(16)
    model = raw_output_model(open_model, raw)
    out, scores = model.get_output_tensor(0), model.dequantize(0)
    model.close()
    np.testing.assert_array_equal(out.ravel(), raw)
    np.testing.assert_array_equal(scores.ravel(), raw.astype(np.float32))


# ---------------------------------------------------------------------------
# dequantize


@pytest.mark.parametrize("signed, qn, offset, raw, expected_raw, expected", [
    (False, 0.5, 128, [0, 128, 255], [0, 128, 255], [-64.0, 0.0, 63.5]),
    (True, 1.0, 0, [255, 0, 127], [-1, 0, 127], [-1.0, 0.0, 127.0]),
    (True, 0.25, -3, [128, 1, 2], [-128, 1, 2], [-31.25, 1.0, 1.25]),
])
def test_dequantize_values(open_model, signed, qn, offset, raw, expected_raw, expected):
    model = raw_output_model(open_model, raw, is_signed=signed, qn=qn, offset=offset)
    assert model.get_output_tensor(0).ravel().tolist() == expected_raw
    out = model.dequantize(0)
    assert out.dtype == np.float32 and out.shape == (1, 1, 3)
    assert out.ravel().tolist() == expected


def test_dequantize_two_byte_elements(open_model):
    raw = np.array([0xFFFF, 0x8000, 0x0001], dtype="<u2").view(np.uint8)
    unsigned = raw_output_model(open_model, raw, bpp=2, shape=[1, 3, 1], qn=2.0, offset=1)
    assert unsigned.dequantize(0).ravel().tolist() == [131068.0, 65534.0, 0.0]
    signed = raw_output_model(open_model, raw, bpp=2, shape=[1, 3, 1], qn=2.0, offset=1, is_signed=True)
    assert signed.dequantize(0).ravel().tolist() == [-4.0, -65538.0, 0.0]


@pytest.mark.parametrize("offset", [-2**31, 2**31 - 1])
def test_dequantize_extreme_offsets_wrap_in_32_bits(open_model, offset):
    raw = np.array([0, 200, 255], np.uint8)
    model = raw_output_model(open_model, raw, offset=offset)
    wrapped = ((raw.astype(np.int64) - offset + 2**31) % 2**32 - 2**31).astype(np.float32)
    assert model.dequantize(0).ravel().tolist() == wrapped.tolist()


def test_dequantize_needs_qmode_9_on_input_0(open_model):
    model = open_model({
        "inputs": [{"shape": [1, 1, 4], "qmode": 5}, {"shape": [1, 1, 4], "qmode": 9}],
        "outputs": [{"shape": [1, 1, 4]}, {"shape": [1, 2, 2], "bpp": 1}],
        "program": {"ops": []},
    })
    model.run()
    for index in range(2):
        with raises_exactly(ara2.Ara2Error, "unsupported quantization mode: qmode=5 (only qmode 9 is supported)"):
            model.dequantize(index)
        assert model.get_output_tensor(index).dtype == np.uint8


def test_dequantize_of_a_model_without_inputs(open_model):
    model = open_model({"inputs": [], "outputs": [{"shape": [1, 1, 4]}], "program": {"ops": []}})
    model.run()
    with raises_exactly(IndexError, "input index 0 out of range (model has 0 inputs)"):
        model.dequantize(0)


# ---------------------------------------------------------------------------
# Checks shared by the three


@pytest.mark.parametrize("call", [
    lambda m: m.set_input_tensor(0, np.zeros(4, np.uint8)),
    lambda m: m.get_output_tensor(0),
    lambda m: m.dequantize(0),
], ids=["set_input_tensor", "get_output_tensor", "dequantize"])
@pytest.mark.parametrize("state", ["loaded", "closed"])
def test_tensors_must_be_allocated(open_model, call, state):
    model = open_model(passthrough(4), allocate=state == "closed")
    if state == "closed":
        model.close()
    with raises_exactly(ara2.TensorError, NOT_ALLOCATED):
        call(model)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.set_input_tensor(1, np.zeros(4, np.uint8)), "input index 1 out of range (model has 1 inputs)"),
    (lambda m: m.get_output_tensor(2), "output index 2 out of range (model has 1 outputs)"),
    (lambda m: m.dequantize(2**64 - 1), "output index 18446744073709551615 out of range (model has 1 outputs)"),
])
def test_index_out_of_range(open_model, call, message):
    model = open_model(passthrough(4))
    with raises_exactly(IndexError, message):
        call(model)


@pytest.mark.parametrize("index, error", [(-1, OverflowError), (2**64, OverflowError), (0.0, TypeError)])
@pytest.mark.parametrize("method", ["get_output_tensor", "dequantize"])
def test_index_conversion(open_model, method, index, error):
    model = open_model(passthrough(4))
    with pytest.raises(error):
        getattr(model, method)(index)


def test_keyword_arguments(open_model):
    model = open_model(passthrough(4))
    model.set_input_tensor(data=np.arange(4, dtype=np.uint8), index=0)
    model.run()
    assert model.get_output_tensor(index=0).ravel().tolist() == [0, 1, 2, 3]
    assert model.dequantize(index=0).ravel().tolist() == [0.0, 1.0, 2.0, 3.0]


def test_data_exchange_needs_no_numpy_for_inputs(child_python, emulator, emulated_model):
    path = emulated_model(passthrough(4))
    code = textwrap.dedent(f"""
        import sys
        import tallowind_ara2 as ara2
        assert "numpy" not in sys.modules
        with ara2.Session.create_via_unix_socket({emulator.socket_path!r}) as session:
            with session.list_endpoints()[0].load_model({str(path)!r}) as model:
                model.allocate_tensors("mem")
                model.set_input_tensor(0, memoryview(b"wxyz"))
                model.run()
                assert "numpy" not in sys.modules
                print(model.get_output_tensor(0).tobytes())
    """)
    result = child_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "b'wxyz'"


def test_large_arrays_stay_intact_while_memory_is_reused(open_model):
    # Arrays of several MiB get memory that is recycled once released: a
    # live array must never be handed out again, and recycled memory must be
    # filled completely.
    big, small = 5 << 20, (4 << 20) + 3
    first = open_model(passthrough(big, qn=0.5, offset=1))
    second = open_model(passthrough(small))
    kept = []
    for seed, model, size, qn, offset in [(1, first, big, 0.5, 1), (2, second, small, 1.0, 0),
                                          (3, first, big, 0.5, 1), (4, second, small, 1.0, 0)]:
        data = random_bytes(size, seed)
        model.set_input_tensor(0, data)
        model.run()
        kept.append((data, qn, offset, model.get_output_tensor(0), model.dequantize(0)))
        model.get_output_tensor(0)  # released at once, for the next call to reuse
        model.dequantize(0)
    for data, qn, offset, raw, scores in kept:
        np.testing.assert_array_equal(raw.ravel(), data)
        np.testing.assert_array_equal(scores.ravel(), (data.astype(np.float32) - offset) * qn)


@pytest.mark.parametrize("bpp, signed", [(1, False), (1, True), (2, False), (2, True)])
@pytest.mark.parametrize("elements", [1, 31, 4099])
def test_dequantize_random_data_matches_numpy_bit_for_bit(open_model, bpp, signed, elements):
    # The widest kernel this CPU runs against the scalar formula, tails included.
    raw = random_bytes(bpp * elements, seed=elements)
    qn, offset = np.float32(0.0731), -77_777
    model = raw_output_model(open_model, raw, bpp=bpp, shape=[1, 1, elements], is_signed=signed, qn=float(qn),
                             offset=offset)
    values = raw.view({1: "i1", 2: "<i2"}[bpp] if signed else {1: "u1", 2: "<u2"}[bpp]).astype(np.int64)
    expected = (values - offset).astype(np.float32) * qn
    assert model.dequantize(0).ravel().view(np.uint32).tolist() == expected.view(np.uint32).tolist()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_kept_for_reuse_is_capped_and_given_back_on_close(open_model):
    # Released arrays of 48 MiB are kept for reuse up to 128 MiB in all: of
    # three, the oldest is unmapped at once, the other two when a model closes.
    size, mib = 12 << 20, 1 << 20
    model = open_model(passthrough(size))
    model.set_input_tensor(0, random_bytes(size))
    model.run()
    arrays = [model.dequantize(0) for _ in range(3)]
    all_alive = resident_bytes()
    del arrays
    kept = resident_bytes()
    assert all_alive - kept > 40 * mib
    open_model(passthrough(4)).close()
    assert kept - resident_bytes() > 90 * mib
