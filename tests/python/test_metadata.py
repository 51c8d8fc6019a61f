"""read_metadata(): the schema of the metadata document, the nine record
classes, their attributes, reprs and docstrings."""
import json
import math
import random

import pytest

import tallowind_ara2 as ara2
from sample_inputs import FULL_METADATA as FULL


@pytest.fixture
def read(make_dvm):
    """Reads a document given as a str (written as is) or as a JSON value."""
    def read(document):
        text = document if isinstance(document, str) else json.dumps(document)
        return ara2.read_metadata(make_dvm({"tallowind.json": text.encode()}))
    return read


@pytest.fixture
def read_error(read):
    def read_error(document):
        with pytest.raises(ara2.MetadataError) as raised:
            read(document)
        assert len(raised.value.args) == 1
        return str(raised.value)
    return read_error


def test_empty_object_reads_with_defaults(read):
    meta = read("{}")
    for attribute in ("dataset", "input", "model", "deployment", "compilation", "ara2", "decoder_version", "nms",
                      "task"):
        assert getattr(meta, attribute) is None, attribute
    assert meta.outputs == [] and meta.classes == []
    assert repr(meta) == str(meta) == "DvmMetadata(task=None, classes=0, outputs=0)"


def test_every_section_is_read(read):
    meta = read(FULL)
    assert meta.task == "detect"
    assert meta.classes == ["person", "car"]
    assert (meta.dataset.classes, meta.dataset.id, meta.dataset.name) == (["person", "car"], "coco2017", "COCO")
    spec = meta.input
    assert (spec.size, spec.input_channels, spec.output_channels, spec.cameraadaptor) == ("640x480", 3, 4294967295,
                                                                                          "rgb")
    model = meta.model
    assert (model.model_task, model.model_size, model.model_version) == ("detect", "s", "8.1.0")
    assert model.detection is True and model.segmentation is False
    deployment = meta.deployment
    assert (deployment.model_name, deployment.name, deployment.author, deployment.description) == (
        "yolov8s", "YOLO", "Tallowind", "people")
    compilation = meta.compilation
    assert (compilation.target, compilation.format) == ("ara-2", "dvm")
    ppa = compilation.ppa
    assert (ppa.ips, ppa.power_mw, ppa.cycles, ppa.ddr_bw_mbps) == (120.0, 512.5, 18446744073709551615, 0.25)
    assert isinstance(ppa.ips, float)
    assert (meta.decoder_version, meta.nms, meta.ara2.qmode) == ("yolov8", "class_agnostic", 9)
    first, second = meta.outputs
    assert (first.index, first.name, first.output_type, first.decoder, first.decode, first.dtype) == (
        0, "boxes", "detection", "yolo", True, "int8")
    assert first.shape == [1, 84, -8400]
    assert first.dshape == [("batch", 1), ("num_boxes", 8400)]
    assert first.normalized is False
    assert (second.index, second.name, second.decode, second.shape, second.dshape, second.normalized) == (
        None, None, False, [], [], None)


def test_reprs(read):
    meta = read(FULL)
    assert repr(meta) == 'DvmMetadata(task=Some("detect"), classes=2, outputs=2)'
    assert repr(meta.dataset) == 'DatasetInfo(classes=2, name=Some("COCO"))'
    assert repr(meta.input) == 'InputSpec(size=Some("640x480"), channels=Some(3))'
    assert repr(meta.model) == 'ModelInfo(task=Some("detect"), size=Some("s"))'
    assert repr(meta.outputs[0]) == 'OutputSpec(name=Some("boxes"), type=Some("detection"), shape=[1, 84, -8400])'
    assert repr(meta.outputs[1]) == "OutputSpec(name=None, type=None, shape=[])"
    assert repr(meta.deployment) == 'DeploymentInfo(name=Some("YOLO"), author=Some("Tallowind"))'
    assert repr(meta.compilation) == 'CompilationInfo(target=Some("ara-2"), format=Some("dvm"))'
    assert repr(meta.compilation.ppa) == "PpaMetrics(ips=Some(120.0), power_mw=Some(512.5))"
    assert repr(meta.ara2) == str(meta.ara2) == "Ara2Info(qmode=9)"
    assert repr(read({"ara2": {}}).ara2) == "Ara2Info(qmode=None)"


def test_repr_of_eighty_classes_and_three_outputs(read):
    meta = read({"model": {"model_task": "detect"}, "dataset": {"classes": [f"c{i}" for i in range(80)]},
                 "outputs": [{}, {}, {}]})
    assert repr(meta) == 'DvmMetadata(task=Some("detect"), classes=80, outputs=3)'


@pytest.mark.parametrize("name, shown", [
    ('a"b', r'Some("a\"b")'),
    ("back\\slash", r'Some("back\\slash")'),
    ("line\nfeed\r\ttab", r'Some("line\nfeed\r\ttab")'),
    ("nul\0esc\x1bdel\x7f", r'Some("nul\0esc\u{1b}del\u{7f}")'),
    ("caf\u00e9 \u00fc \U0001f600", 'Some("caf\u00e9 \u00fc \U0001f600")'),
    ("'single'", "Some(\"'single'\")"),
])
def test_repr_quotes_strings_with_escapes(read, name, shown):
    spec = read({"outputs": [{"name": name}]}).outputs[0]
    assert spec.name == name
    assert repr(spec) == f"OutputSpec(name={shown}, type=None, shape=[])"


@pytest.mark.parametrize("value, shown", [
    (512, "512.0"), (512.0, "512.0"), (0.1, "0.1"), (0.0001, "0.0001"), (0.00001, "1e-5"), (2.5e-7, "2.5e-7"),
    (1e16, "1e16"), (1.5e17, "1.5e17"), (9999999999999998, "9999999999999998.0"), (0, "0.0"), (-3.75, "-3.75"),
    (123456789.123, "123456789.123"),
])
def test_repr_float_forms(read, value, shown):
    ppa = read({"compilation": {"ppa": {"power_mw": value}}}).compilation.ppa
    assert repr(ppa) == f"PpaMetrics(ips=None, power_mw=Some({shown}))"


def test_derived_attributes_come_from_their_sections(read):
    meta = read({"task": "classify", "classes": ["x"], "model": {"model_size": "m"}, "dataset": {"name": "d"}})
    assert meta.task is None
    assert meta.classes == []
    assert read({"model": {"model_task": "segment"}}).task == "segment"


def test_every_access_builds_a_new_value(read):
    meta = read(FULL)
    assert meta.model is not meta.model
    assert meta.outputs[0] is not meta.outputs[0]
    classes = meta.classes
    classes.append("bicycle")
    meta.dataset.classes.clear()
    meta.outputs.clear()
    meta.outputs[0].shape.append(5)
    assert meta.classes == ["person", "car"]
    assert len(meta.outputs) == 2
    assert meta.outputs[0].shape == [1, 84, -8400]


@pytest.mark.parametrize("attribute", ["task", "model", "outputs", "nms"])
def test_attributes_are_read_only(read, attribute):
    meta = read(FULL)
    with pytest.raises(AttributeError):
        setattr(meta, attribute, None)


@pytest.mark.parametrize("section, key, value, expected", [
    ("input", "input_channels", None, None),
    ("input", "input_channels", 0, 0),
    ("input", "input_channels", 4294967295, 4294967295),
    ("ara2", "qmode", -2147483648, -2147483648),
    ("ara2", "qmode", 2147483647, 2147483647),
    ("ara2", "qmode", None, None),
    ("model", "detection", True, True),
    ("model", "model_size", None, None),
    ("ppa", "cycles", 0, 0),
    ("ppa", "ips", None, None),
    ("ppa", "ips", -1, -1.0),
])
def test_accepted_values(read, section, key, value, expected):
    document = {"compilation": {"ppa": {key: value}}} if section == "ppa" else {section: {key: value}}
    meta = read(document)
    record = meta.compilation.ppa if section == "ppa" else getattr(meta, section)
    assert getattr(record, key) == expected
    assert type(getattr(record, key)) is type(expected)


def test_absent_values_take_their_defaults(read):
    meta = read({"model": {}, "outputs": [{}]})
    assert meta.model.detection is False and meta.model.segmentation is False
    assert meta.outputs[0].normalized is None
    assert meta.outputs[0].decode is False


@pytest.mark.parametrize("document, message", [
    ('{"input": {"input_channels": -1}}', "invalid value: integer `-1`, expected u32 at line 1 column 31"),
    ('{"input": {"input_channels": 3.5}}', "invalid type: floating point `3.5`, expected u32 at line 1 column 32"),
    ('{"input": {"input_channels": 3e0}}', "invalid type: floating point `3.0`, expected u32 at line 1 column 32"),
    ('{"input": {"size": 640}}', "invalid type: integer `640`, expected a string at line 1 column 22"),
    ('{"ara2": {"qmode": "9"}}', 'invalid type: string "9", expected i32 at line 1 column 22'),
    ('{"compilation": {"ppa": {"cycles": -1}}}', "invalid value: integer `-1`, expected u64 at line 1 column 37"),
    ('{"compilation": {"ppa": {"ips": "fast"}}}', 'invalid type: string "fast", expected f64 at line 1 column 38'),
    ('{"model": {"detection": null}}', "invalid type: null, expected a boolean at line 1 column 28"),
    ('{"outputs": null}', "invalid type: null, expected a sequence at line 1 column 16"),
    ('{"outputs": {}}', "invalid type: map, expected a sequence at line 1 column 13"),
    ('{"outputs": [null]}', "invalid type: null, expected struct OutputSpec at line 1 column 17"),
    ('{"outputs": [{"decode": null}]}', "invalid type: null, expected a boolean at line 1 column 28"),
    ('{"outputs": [{"shape": null}]}', "invalid type: null, expected a sequence at line 1 column 27"),
    ('{"outputs": [{"shape": [1.5]}]}', "invalid type: floating point `1.5`, expected i64 at line 1 column 27"),
    ('{"outputs": [{"encoding": 5}]}', "invalid type: integer `5`, expected a string at line 1 column 27"),
    ('{"dataset": {"classes": ["a", 1]}}', "invalid type: integer `1`, expected a string at line 1 column 31"),
    ('{"dataset": "coco"}', 'invalid type: string "coco", expected struct DatasetInfo at line 1 column 18'),
    ('[1]', "invalid type: integer `1`, expected struct DatasetInfo at line 1 column 2"),
    ('"text"', 'invalid type: string "text", expected struct DvmMetadata at line 1 column 6'),
    ("null", "invalid type: null, expected struct DvmMetadata at line 1 column 4"),
])
def test_type_and_range_errors(read_error, document, message):
    assert read_error(document) == "JSON error: " + message


@pytest.mark.parametrize("document, message", [
    ('{"outputs": [{"name": "a", "name": "b"}]}', "duplicate field `name` at line 1 column 33"),
    ('{"nms": "a",\n "nms": "b"}', "duplicate field `nms` at line 2 column 6"),
    ('{"model": {"detection": true, "detection": true}}', "duplicate field `detection` at line 1 column 41"),
    ('{"model": null, "model": {}}', "duplicate field `model` at line 1 column 23"),
])
def test_duplicate_keys_fail(read_error, document, message):
    assert read_error(document) == "JSON error: " + message


def test_duplicate_unknown_keys_are_skipped(read):
    assert read('{"x": 1, "x": [1, {"y": 2, "y": 3}]}').outputs == []


@pytest.mark.parametrize("quantization, message", [
    ({"scale": 0.5}, None),
    ({"scale": 1, "zero_point": -128, "dtype": "int8"}, None),
    ({"scale": 1e39}, None),
    (None, None),
    ([0.25, 3], None),
    ({"zero_point": 0}, "missing field `scale`"),
    ({}, "missing field `scale`"),
    ({"scale": 0.5, "zero_point": None}, "invalid type: null, expected i32"),
    ({"scale": None}, "invalid type: null, expected f32"),
    ({"scale": 0.5, "zero_point": 2147483648}, "invalid value: integer `2147483648`, expected i32"),
    ([], "invalid length 0, expected struct QuantizationSpec with 3 elements"),
    ("0.5", 'invalid type: string "0.5", expected struct QuantizationSpec'),
])
def test_quantization_is_validated(read, read_error, quantization, message):
    document = {"outputs": [{"quantization": quantization}]}
    if message is None:
        assert len(read(document).outputs) == 1
    else:
        assert read_error(document).startswith("JSON error: " + message + " at line 1 column ")


@pytest.mark.parametrize("dshape, expected", [
    ([["batch", 1], {"num_boxes": 8400}], [("batch", 1), ("num_boxes", 8400)]),
    ([["x", 18446744073709551615]], [("x", 18446744073709551615)]),
    ([], []),
    ([{"": 0}], [("", 0)]),
])
def test_dshape_entry_forms(read, dshape, expected):
    assert read({"outputs": [{"dshape": dshape}]}).outputs[0].dshape == expected


UNTAGGED = "data did not match any variant of untagged enum DShapeItem"
ONE_KEY = "dshape map entry must have exactly one key"


@pytest.mark.parametrize("entry, message", [
    ({"a": 1, "b": 2}, ONE_KEY),
    ({}, ONE_KEY),
    ("batch", UNTAGGED),
    (5, UNTAGGED),
    (None, UNTAGGED),
    (["batch"], UNTAGGED),
    (["batch", 1, 2], UNTAGGED),
    ([1, "batch"], UNTAGGED),
    (["batch", -1], UNTAGGED),
    (["batch", 1.0], UNTAGGED),
    (["batch", [1]], UNTAGGED),
    ({"a": "1"}, UNTAGGED),
    ({"a": -1}, UNTAGGED),
    ({"a": 1, "b": "x"}, UNTAGGED),
    ({"a": {"b": 1}}, UNTAGGED),
])
def test_dshape_entry_errors(read_error, entry, message):
    text = json.dumps({"outputs": [{"dshape": [entry]}]})
    # Reported where the entry ends, just before the closing "]}]}".
    assert read_error(text) == f"JSON error: {message} at line 1 column {len(text) - 4}"


@pytest.mark.parametrize("dshape", [None, {"a": 1}, "batch"])
def test_dshape_must_be_a_list(read_error, dshape):
    assert "expected a sequence" in read_error({"outputs": [{"dshape": dshape}]})


@pytest.mark.parametrize("document, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    (" \n\t \r\n ", "EOF while parsing a value at line 3 column 1"),
    ("\ufeff{}", "expected value at line 1 column 1"),
    ("{} {}", "trailing characters at line 1 column 4"),
    ('{"nms": "a"} x', "trailing characters at line 1 column 14"),
    ("{}\0", "trailing characters at line 1 column 3"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"outputs": [', "EOF while parsing a list at line 1 column 13"),
    ('{"nms": "abc', "EOF while parsing a string at line 1 column 12"),
    ('{"nms" 1}', "expected `:` at line 1 column 8"),
    ('{"nms": "a" "b"}', "expected `,` or `}` at line 1 column 13"),
    ("{nms: 1}", "key must be a string at line 1 column 2"),
    ('{"nms": tru}', "expected value at line 1 column 12"),
    ('{"nms": "a\tb"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11"),
    ('{"nms": "\\ud800"}', "lone leading surrogate in hex escape at line 1 column 10"),
    ('{"compilation": {"ppa": {"ips": 1e999}}}', "number out of range at line 1 column 33"),
    ('{"ppa": NaN}', "expected value at line 1 column 9"),
    ("{/* c */}", "key must be a string at line 1 column 2"),
])
def test_syntax_errors_report_their_position(read_error, document, message):
    assert read_error(document) == "JSON error: " + message


def test_surrounding_json_white_space_is_accepted(read):
    assert read(' \r\n\t{"nms": "x"} \n\r\t').nms == "x"


def test_strings_are_stored_as_given(read):
    meta = read('{"nms": "  Class\\u0041gnostic \\u00e9\\ud83d\\ude00 ", "decoder_version": ""}')
    assert meta.nms == "  ClassAgnostic \u00e9\U0001f600 "
    assert meta.decoder_version == ""


@pytest.mark.parametrize("depth", [1000, 100_000])
def test_deep_nesting_is_refused_without_crashing(read_error, depth):
    document = '{"skipped": ' + "[" * depth + "]" * depth + "}"
    assert read_error(document) == "JSON error: recursion limit exceeded at line 1 column 140"


def test_moderate_nesting_in_unknown_keys_is_skipped(read):
    document = {"outputs": [{"extra": [[[[{"a": [[[1]]]}]]]]}], "x": [[[[[[[[[[{}]]]]]]]]]]}
    assert len(read(document).outputs) == 1


def test_positional_form_follows_declaration_order(read):
    meta = read([{"classes": ["a"]}, ["320x240", 1, 2, "bgr"], ["classify", "n", None, True], None, None, "v1",
                 "nms", [[5, "logits", "classification", None, True, "float32", [1, 1000]]], [7]])
    assert meta.classes == ["a"]
    assert (meta.input.size, meta.input.input_channels, meta.input.output_channels, meta.input.cameraadaptor) == (
        "320x240", 1, 2, "bgr")
    assert (meta.task, meta.model.model_size, meta.model.detection, meta.model.segmentation) == (
        "classify", "n", True, False)
    assert (meta.decoder_version, meta.nms, meta.ara2.qmode) == ("v1", "nms", 7)
    out = meta.outputs[0]
    assert (out.index, out.name, out.output_type, out.decode, out.dtype, out.shape, out.dshape) == (
        5, "logits", "classification", True, "float32", [1, 1000], [])


def test_positional_form_with_too_many_elements_fails(read_error):
    assert read_error({"ara2": [9, 10]}) == (
        "JSON error: too many elements, expected struct Ara2Info with 1 elements at line 1 column 15")


@pytest.mark.parametrize("size, dimensions", [
    ("640x480", (640, 480)),
    ("+640x480", (640, 480)),
    ("0x+0", (0, 0)),
    ("4294967295x1", (4294967295, 1)),
    ("640X480", None),
    ("640 x 480", None),
    ("x480", None),
    ("640x", None),
    ("640", None),
    ("640x480x3", None),
    ("4294967296x1", None),
    ("-640x480", None),
    ("6\u0664x1", None),
    ("", None),
    (None, None),
])
def test_input_dimensions(read, size, dimensions):
    spec = read({"input": {"size": size}}).input
    assert spec.dimensions() == dimensions


def test_dimensions_signature():
    assert ara2.InputSpec.dimensions.__text_signature__ == "($self)"
    assert ara2.InputSpec.dimensions.__doc__ == "Parse the size string into (width, height)."


CLASS_DOCS = {
    "DvmMetadata": "Tallowind metadata embedded in a DVM model file.",
    "DatasetInfo": "Dataset information from model metadata.",
    "InputSpec": "Input specification from metadata.",
    "ModelInfo": "Model information from metadata.",
    "OutputSpec": "Output tensor specification from metadata.",
    "DeploymentInfo": "Deployment information from metadata.",
    "CompilationInfo": "Compilation information from metadata.",
    "PpaMetrics": "Performance, power, and area metrics from compilation.",
    "Ara2Info": "Kinara ARA-2 specific metadata section.",
}

ATTRIBUTE_DOCS = [
    ("DvmMetadata", "task", 'Model task type (e.g., "detect", "segment", "classify").'),
    ("DvmMetadata", "classes", "Class labels from the dataset."),
    ("DvmMetadata", "dataset", "Dataset information."),
    ("DvmMetadata", "input", "Input specification."),
    ("DvmMetadata", "model", "Model information."),
    ("DvmMetadata", "deployment", "Deployment information."),
    ("DvmMetadata", "compilation", "Compilation information."),
    ("DvmMetadata", "ara2", "ARA-2 / Kinara-specific metadata (quantization mode, etc.)"),
    ("DvmMetadata", "decoder_version", 'Decoder version string (e.g., "yolov8").'),
    ("DvmMetadata", "nms", 'NMS type (e.g., "class_agnostic").'),
    ("DvmMetadata", "outputs", "Output specifications."),
    ("DatasetInfo", "classes", "Class label strings."),
    ("DatasetInfo", "id", 'Dataset identifier (e.g., "coco2017").'),
    ("DatasetInfo", "name", "Human-readable dataset name."),
    ("InputSpec", "size", 'Size string (e.g., "640x480").'),
    ("InputSpec", "input_channels", "Number of input channels."),
    ("InputSpec", "output_channels", "Number of output channels."),
    ("InputSpec", "cameraadaptor", 'Camera adaptor type (e.g., "rgb", "bgr").'),
    ("ModelInfo", "model_task", 'Task type (e.g., "detect", "segment", "classify").'),
    ("ModelInfo", "model_size", 'Model size variant (e.g., "s", "m", "l", "x").'),
    ("ModelInfo", "model_version", "Source model version string."),
    ("ModelInfo", "detection", "True if the model produces detection outputs."),
    ("ModelInfo", "segmentation", "True if the model produces segmentation outputs."),
    ("OutputSpec", "index", "Output index."),
    ("OutputSpec", "name", "Output name."),
    ("OutputSpec", "output_type", "Output type (detection, segmentation, etc.)."),
    ("OutputSpec", "decoder", "Decoder to use."),
    ("OutputSpec", "decode", "Whether to decode this output."),
    ("OutputSpec", "dtype", "Data type (float32, int8, etc.)."),
    ("OutputSpec", "shape", "Tensor shape."),
    ("OutputSpec", "dshape",
     "Physical axis names in memory order, as `(name, extent)` pairs.\n\nNames are the metadata spellings "
     '(`"batch"`, `"num_boxes"`,\n`"num_protos"`, ...) so a caller can map them onto\n'
     "`tallowind.decoder.DimName` without this package depending on the\ndecoder. Empty when the producer "
     "omitted the field."),
    ("OutputSpec", "normalized",
     "Whether box coordinates are already normalized to `[0, 1]`.\n\n`None` when the metadata does not say "
     "\u2014 the caller must then assume\npixel-space coordinates and divide the box quantization scale by the\n"
     "model's input dimension. Only meaningful for `boxes` and `detection`\noutputs."),
    ("DeploymentInfo", "model_name", "Model name for deployment."),
    ("DeploymentInfo", "name", "Human-readable deployment name."),
    ("DeploymentInfo", "author", "Author or organization."),
    ("DeploymentInfo", "description", "Description of the deployed model."),
    ("CompilationInfo", "target", 'Target hardware (e.g., "ara-2").'),
    ("CompilationInfo", "format", 'Model format (e.g., "dvm").'),
    ("CompilationInfo", "ppa", "Performance, power and area metrics."),
    ("PpaMetrics", "ips", "Inferences per second."),
    ("PpaMetrics", "power_mw", "Power consumption in milliwatts."),
    ("PpaMetrics", "cycles", "Execution cycles."),
    ("PpaMetrics", "ddr_bw_mbps", "DDR bandwidth in MB/s."),
    ("Ara2Info", "qmode", "Kinara quantization mode (9 = asymmetric, the production default)."),
]


@pytest.mark.parametrize("cls, attribute, doc", ATTRIBUTE_DOCS)
def test_attribute_docstrings(cls, attribute, doc):
    assert getattr(ara2, cls).__dict__[attribute].__doc__ == doc


@pytest.mark.parametrize("cls", sorted(CLASS_DOCS))
def test_classes_expose_exactly_their_attributes(cls):
    expected = {attribute for owner, attribute, _ in ATTRIBUTE_DOCS if owner == cls}
    if cls == "InputSpec":
        expected.add("dimensions")
    public = {name for name in vars(getattr(ara2, cls)) if not name.startswith("_")}
    assert public == expected
    assert getattr(ara2, cls).__doc__ == CLASS_DOCS[cls]
    with pytest.raises(TypeError):
        getattr(ara2, cls)()


def test_records_outlive_the_file(make_dvm):
    path = make_dvm({"tallowind.json": json.dumps(FULL)})
    meta = ara2.read_metadata(path)
    path.unlink()
    assert meta.outputs[0].dshape == [("batch", 1), ("num_boxes", 8400)]
    assert meta.compilation.ppa.cycles == 18446744073709551615


def test_document_that_would_build_too_much_is_refused(read_error):
    # 750 KB of text, compressing to almost nothing, would become 80 to 90 MB of
    # records (records are smaller with libc++, which the wheels use, than with libstdc++).
    document = '{"outputs": [' + "{}," * 250_000 + "{}]}"
    assert read_error(document).startswith("JSON error: document too large: its records would take more than ")


# --- Numbers: read as Python's float() reads them -----------------------------

EDGE_LITERALS = [
    "0", "-0", "0.0", "-0.0", "0e-244", "0.0e-300", "0e400", "-0e400", "0e99999999999999999999",
    "1e-400", "-1e-400", "2e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "3e-324",
    "4.9406564584124654e-324", "2.2250738585072011e-308", "2.2250738585072012e-308", "1e308",
    "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e309", "-1e309",
    "1e99999999999999999999", "-1E+400", "9007199254740993", "9007199254740993.0000000000000000001",
    "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
    "1" + "0" * 308, "1" + "0" * 309, "0." + "0" * 400 + "1e401", "0." + "0" * 330 + "1",
    "0." + "0" * 42 + "1e-310",
    "123456789012345678901234567890e-30", "5e-324", "0.1", "0.30000000000000004", "3.0e-0",
]


def random_literals(count, seed=2024):
    """JSON number literals of every shape: short and very long mantissas,
    with and without fraction, exponents across and beyond the double range."""
    rng = random.Random(seed)

    def digits(n):
        return "".join(rng.choice("0123456789") for _ in range(n))

    literals = []
    for _ in range(count):
        length = rng.choice([1, 2, 3, 8, 15, 16, 17, 18, 19, 20, 21, 30, 60, 400])
        integer = "0" if rng.random() < 0.2 else str(rng.randrange(1, 10)) + digits(length - 1)
        fraction = "." + digits(rng.choice([1, 5, 17, 40, 300])) if rng.random() < 0.5 else ""
        exponent = ""
        if rng.random() < 0.7:
            exponent = rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.choice(
                [rng.randrange(0, 30), rng.randrange(280, 345), rng.randrange(0, 800), 10 ** 25]))
        literals.append(("-" if rng.random() < 0.3 else "") + integer + fraction + exponent)
    return literals


NUMBER_LITERALS = EDGE_LITERALS + random_literals(1500)
PPA_FIELDS = ("ips", "power_mw", "ddr_bw_mbps")


def test_numbers_read_as_pythons_float_reads_them(read, read_error):
    finite = [literal for literal in NUMBER_LITERALS if math.isfinite(float(literal))]
    beyond = [literal for literal in NUMBER_LITERALS if not math.isfinite(float(literal))]
    assert len(finite) > 1000 and len(beyond) > 100
    for start in range(0, len(finite), len(PPA_FIELDS)):
        batch = finite[start:start + len(PPA_FIELDS)]
        members = ", ".join(f'"{field}": {literal}' for field, literal in zip(PPA_FIELDS, batch))
        ppa = read('{"compilation": {"ppa": {' + members + "}}}").compilation.ppa
        for field, literal in zip(PPA_FIELDS, batch):
            # repr tells 0.0 from -0.0 and shows every bit that matters.
            assert repr(getattr(ppa, field)) == repr(float(literal)), literal
    prefix = '{"compilation": {"ppa": {"ips": '
    for literal in beyond:
        assert read_error(prefix + literal + "}}}") == (
            f"JSON error: number out of range at line 1 column {len(prefix) + 1}"), literal


def test_unknown_keys_are_skipped_whatever_number_they_hold(read):
    document = ('{"unknown": [' + ", ".join(NUMBER_LITERALS) + '], "compilation": {"ppa": {"extra": '
                + "9" * 500 + 'e999, "ips": 0e400}}, "last": -1e999}')
    assert read(document).compilation.ppa.ips == 0.0
