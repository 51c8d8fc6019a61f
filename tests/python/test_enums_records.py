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
