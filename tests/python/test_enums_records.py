"""Enumeration protocol and the record classes' read-only surface."""
import operator

import pytest

import tallowind_ara2 as m

STATES = ["Init", "Idle", "Active", "ActiveSlow", "ActiveBoosted", "ThermalInactive", "ThermalActiveSlow",
          "FailSafe", "ThermalUnknown", "Inactive", "Fault", "Unknown"]
OUTPUT_TYPES = ["Classification", "Detection", "SemanticSegmentation", "Raw"]
MEMBERS = ([(m.State, name, i, name) for i, name in enumerate(STATES)]
           + [(m.Abi, "V1_1", 0, "1.1"), (m.Abi, "V1_3", 1, "1.3")]
           + [(m.ModelOutputType, name, i, name) for i, name in enumerate(OUTPUT_TYPES)])
ENUMS = [m.State, m.Abi, m.ModelOutputType]


@pytest.mark.parametrize(("cls", "name", "number", "text"), MEMBERS)
def test_member_int_str_repr(cls, name, number, text):
    member = getattr(cls, name)
    assert type(member) is cls
    assert int(member) == number
    assert str(member) == text
    assert repr(member) == f"{cls.__name__}.{name}"
    assert getattr(cls, name) is member


@pytest.mark.parametrize("cls", ENUMS)
def test_members_are_unhashable_unordered_and_not_indexes(cls):
    first = next(v for k, v in vars(cls).items() if type(v) is cls)
    with pytest.raises(TypeError):
        hash(first)
    with pytest.raises(TypeError):
        operator.index(first)
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(first, first)
    with pytest.raises(TypeError):
        {first: 1}


@pytest.mark.parametrize(("cls", "name", "number", "text"), MEMBERS)
def test_members_equal_only_themselves_within_their_class(cls, name, number, text):
    member = getattr(cls, name)
    for other_name in dir(cls):
        other = getattr(cls, other_name)
        if type(other) is cls:
            assert (member == other) == (other_name == name)
            assert (member != other) == (other_name != name)


def test_state_never_equals_an_integer():
    assert (m.State.Idle == 1) is False
    assert (m.State.Idle != 1) is True
    assert (1 == m.State.Idle) is False
    assert m.State.Init != 0


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenIndex:
    def __index__(self):
        raise ValueError("no")


@pytest.mark.parametrize(
    ("left", "right", "equal"),
    [
        (m.Abi.V1_1, 0, True),
        (m.Abi.V1_3, 1, True),
        (m.Abi.V1_3, 0, False),
        (m.Abi.V1_3, True, True),
        (m.Abi.V1_1, Indexable(0), True),
        (m.ModelOutputType.Detection, 1, True),
        (m.ModelOutputType.Raw, 3, True),
        (m.ModelOutputType.Raw, -3, False),
        (m.ModelOutputType.Detection, "Detection", False),
        (m.ModelOutputType.Detection, 1.0, False),
        (m.ModelOutputType.Classification, 2**64, False),
        (m.ModelOutputType.Classification, -(2**63) - 1, False),
        (m.Abi.V1_1, 2**63 - 1, False),
        (m.Abi.V1_1, BrokenIndex(), False),
        (m.Abi.V1_1, m.State.Init, False),
        (m.Abi.V1_1, m.ModelOutputType.Classification, False),
    ],
)
def test_abi_and_output_type_compare_with_integers(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal


@pytest.mark.parametrize("cls", ENUMS)
def test_enum_members_are_read_only_values(cls):
    member = next(v for v in vars(cls).values() if type(v) is cls)
    with pytest.raises((AttributeError, TypeError)):
        member.value = 3
    assert not hasattr(member, "__dict__")


RECORD_FIELDS = {
    "ModelTiming": ["run_time_us", "input_time_us", "output_time_us"],
    "DramStatistics": ["dram_size", "dram_occupancy_size", "free_size", "reserved_occupancy_size",
                       "model_occupancy_size", "tensor_occupancy_size"],
    "InputQuantization": ["qn", "offset", "is_signed", "qmode"],
    "OutputQuantization": ["qn", "offset", "is_signed"],
    "InputPreprocess": ["mean", "scale", "bgr_to_rgb", "aspect_resize", "mirror", "center_crop"],
    "InputTensorInfo": ["layer_id", "blob_id", "layer_name", "blob_name", "layer_type", "layout", "size", "width",
                        "height", "nch", "bpp", "batch_size", "quant", "preprocess"],
    "OutputTensorInfo": ["layer_id", "blob_id", "fused_parent_id", "layer_name", "blob_name",
                         "layer_fused_parent_name", "layer_type", "layout", "size", "width", "height", "nch", "bpp",
                         "num_classes", "layer_output_type", "max_dynamic_id", "quant"],
}

FIELD_DOCS = {
    ("ModelTiming", "run_time_us"): "NPU inference execution time in microseconds.",
    ("DramStatistics", "tensor_occupancy_size"): "DRAM occupied by tensor buffers in bytes.",
    ("InputQuantization", "qmode"): "Kinara quantization mode (9 = asymmetric, production default).",
    ("OutputQuantization", "qn"): "Per-tensor quantization scale. ``float_val = (raw - offset) * qn``.",
    ("InputTensorInfo", "layer_type"): "Layer type reported by the compiler (e.g. \"Convolution\").",
    ("OutputTensorInfo", "fused_parent_id"): "Layer this one was fused into, or -1 when it was not fused.",
    ("OutputTensorInfo", "max_dynamic_id"): "Highest batch id this tensor supports.",
}


@pytest.mark.parametrize("name", sorted(RECORD_FIELDS))
def test_record_attributes_are_documented_properties_in_order(name):
    cls = getattr(m, name)
    descriptors = [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"
                   and k not in ("__dict__", "__weakref__")]
    assert descriptors == RECORD_FIELDS[name]
    for field in RECORD_FIELDS[name]:
        descriptor = vars(cls)[field]
        assert descriptor.__doc__


@pytest.mark.parametrize(("key", "doc"), sorted(FIELD_DOCS.items()))
def test_record_attribute_docstrings(key, doc):
    cls_name, field = key
    assert vars(getattr(m, cls_name))[field].__doc__ == doc


@pytest.mark.parametrize("name", sorted(RECORD_FIELDS))
def test_records_hash_by_identity(name):
    cls = getattr(m, name)
    assert cls.__hash__ is object.__hash__
    assert cls.__eq__ is object.__eq__


# --- Members and records as the module builds them from core values (through
# the test-only probe extension, whose classes mirror the module's).


@pytest.mark.parametrize(
    ("raw", "abi", "name"),
    [
        (0, 0, "Init"), (3, 1, "ActiveSlow"),
        (4, 0, "ActiveBoosted"), (4, 1, "ThermalActiveSlow"),
        (5, 0, "ThermalInactive"), (5, 1, "FailSafe"),
        (6, 0, "ThermalUnknown"), (8, 1, "Fault"),
        (9, 0, "Unknown"), (10, 1, "Unknown"), (4294967295, 0, "Unknown"), (4294967295, 1, "Unknown"),
    ],
)
def test_returned_states_are_the_shared_members(probe, raw, abi, name):
    state_cls = probe.types()[0]
    member = probe.state(raw, abi)
    assert member is getattr(state_cls, name)
    assert member is probe.state(raw, abi)
    assert repr(member) == f"State.{name}"


def test_returned_abi_and_output_types_are_the_shared_members(probe):
    _, abi_cls, output_cls = probe.types()
    assert probe.abi(0) is abi_cls.V1_1
    assert probe.abi(1) is abi_cls.V1_3
    for raw, name in enumerate(OUTPUT_TYPES):
        assert probe.output_type(raw) is getattr(output_cls, name)


@pytest.mark.parametrize("raw", [4, 5, 4294967295])
def test_unknown_output_type_is_a_model_error(probe, raw):
    with pytest.raises(RuntimeError) as info:
        probe.output_type(raw)
    assert type(info.value).__name__ == "ModelError"
    assert info.value.args == (f"Unknown layer output type: {raw}",)


@pytest.fixture(scope="module")
def records(probe):
    return probe.records()


RECORD_REPRS = {
    "ModelTiming": "ModelTiming(run_time_us=1200, input_time_us=30, output_time_us=18446744073709551615)",
    "DramStatistics": "DramStatistics(dram_size=1000, free_size=300, model_occupancy_size=50)",
    "InputQuantization": "InputQuantization(qn=0.007843138, offset=-128, is_signed=true, qmode=9)",
    "OutputQuantization": "OutputQuantization(qn=0.5, offset=-128, is_signed=true)",
    "InputPreprocess": ("InputPreprocess(mean=(123.675, 116.28, 103.53), scale=(0.017124753, 1e-5, 1.0), "
                        "bgr_to_rgb=true, aspect_resize=false, mirror=false, center_crop=true)"),
    "InputTensorInfo": "InputTensorInfo(layer_name='images', size=1228800, shape=(3, 640, 640), bpp=1)",
    "OutputTensorInfo": ("OutputTensorInfo(layer_name='output0', size=18446744073709551615, shape=(84, 1, 8400), "
                         "bpp=2, type=Detection)"),
}


@pytest.mark.parametrize("name", sorted(RECORD_REPRS))
def test_record_repr_and_str(records, name):
    record = records[name]
    assert type(record).__name__ == name
    assert repr(record) == RECORD_REPRS[name]
    assert str(record) == RECORD_REPRS[name]


@pytest.mark.parametrize("name", sorted(RECORD_FIELDS))
def test_record_attributes_cannot_be_set_or_deleted(records, name):
    record = records[name]
    for field in RECORD_FIELDS[name]:
        with pytest.raises(AttributeError):
            setattr(record, field, 1)
        with pytest.raises(AttributeError):
            delattr(record, field)
    with pytest.raises(AttributeError):
        record.extra = 1


def _float32(value):
    import struct
    return struct.unpack("f", struct.pack("f", value))[0]


def test_record_attribute_values_and_types(records):
    timing = records["ModelTiming"]
    assert (timing.run_time_us, timing.input_time_us, timing.output_time_us) == (1200, 30, 2**64 - 1)
    dram = records["DramStatistics"]
    assert [getattr(dram, f) for f in RECORD_FIELDS["DramStatistics"]] == [1000, 2, 300, 4, 50, 6]
    quant = records["InputQuantization"]
    assert quant.qn == _float32(0.007843138)
    assert (quant.offset, quant.is_signed, quant.qmode) == (-128, True, 9)
    pre = records["InputPreprocess"]
    assert type(pre.mean) is tuple and len(pre.mean) == 3
    assert pre.mean == tuple(_float32(v) for v in (123.675, 116.28, 103.53))
    assert pre.scale == tuple(_float32(v) for v in (0.017124753, 1e-5, 1.0))
    assert (pre.bgr_to_rgb, pre.aspect_resize, pre.mirror, pre.center_crop) == (True, False, False, True)


def test_tensor_info_attributes(records, probe):
    info = records["InputTensorInfo"]
    assert (info.layer_id, info.blob_id, info.layer_name, info.blob_name) == (-3, 7, "images", "blob\ufffd")
    assert (info.layer_type, info.layout) == ("Input", "NCHW")
    assert (info.size, info.width, info.height, info.nch, info.bpp, info.batch_size) == (1228800, 640, 640, 3, 1, 1)
    # Nested records are built anew on every access.
    assert info.quant is not info.quant
    assert repr(info.quant) == RECORD_REPRS["InputQuantization"]
    assert info.preprocess is not info.preprocess
    assert repr(info.preprocess) == RECORD_REPRS["InputPreprocess"]

    out = records["OutputTensorInfo"]
    assert (out.layer_id, out.blob_id, out.fused_parent_id) == (12, 0, -1)
    assert (out.layer_name, out.blob_name, out.layer_fused_parent_name) == ("output0", "b", "")
    assert (out.layer_type, out.layout, out.num_classes, out.max_dynamic_id) == ("Convolution", "NHWC", 80, 2**31 - 1)
    assert out.layer_output_type is probe.types()[2].Detection
    assert out.quant is not out.quant
    assert repr(out.quant) == RECORD_REPRS["OutputQuantization"]


def test_rebinding_a_class_attribute_does_not_change_returned_members(probe):
    state_cls = probe.types()[0]
    idle = state_cls.Idle
    try:
        state_cls.Idle = "rebound"
        returned = probe.state(1, 0)
        assert returned is idle
        assert repr(returned) == "State.Idle"
    finally:
        state_cls.Idle = idle
