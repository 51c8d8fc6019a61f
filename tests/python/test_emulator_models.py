"""Emulated model files: the Python builder against the emulator's C++ reader
(through the ara2-emu-dvm tool), the trailing archive, and the example
colour classifier."""
import copy
import json
import math
import pathlib
import struct
import subprocess
import zipfile

import numpy as np
import pytest

from ara2_emulator.model_builder import ModelDescriptionError, build_model, main

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "colour_classifier.yaml"


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.fixture(scope="module")
def dvm_tool(build_dir):
    tool = build_dir / "emulator" / "bin" / "ara2-emu-dvm"
    if not tool.exists():
        pytest.fail(f"{tool} is missing: build the project first")
    return tool


@pytest.fixture
def inspect(dvm_tool, tmp_path):
    """Builds a description and returns what the C++ reader makes of it."""

    def run(description):
        path = tmp_path / "model.dvm"
        build_model(description, path)
        done = subprocess.run([dvm_tool, "inspect", path], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    return run


def text_bytes(value) -> bytes:
    """The tool prints a text field as a string, or as {"hex": ...} when it is not UTF-8."""
    return value.encode() if isinstance(value, str) else bytes.fromhex(value["hex"])


def decode_text(record):
    keys = ("layer_name", "blob_name", "layer_type", "layout", "layer_fused_parent_name")
    return {k: text_bytes(v) if k in keys else v for k, v in record.items()}


@pytest.mark.parametrize("name, printed", [
    ("image", "image"), ("caf\u00e9 \"q\"\n", "caf\u00e9 \"q\"\n"), ({"hex": "ff6162"}, {"hex": "ff6162"}),
    ({"hex": "c0af"}, {"hex": "c0af"}),      # overlong form of "/"
    ({"hex": "eda080"}, {"hex": "eda080"}),  # a surrogate
    ({"hex": "e282"}, {"hex": "e282"}),      # cut short
    ({"hex": "f09f9982"}, "\U0001f642"),
])
def test_inspect_prints_names_as_text_and_other_bytes_as_hex(inspect, name, printed):
    assert inspect({"inputs": [{"shape": [1, 1, 1], "name": name}]})["inputs"][0]["layer_name"] == printed


INPUT_DEFAULTS = dict(layer_id=0, blob_id=0, layer_name=b"input0", blob_name=b"input0", layer_type=b"Input",
                      layout=b"CHW", bpp=1, batch_size=1, qn=1.0, offset=0, is_signed=False, qmode=9,
                      mean=[0.0, 0.0, 0.0], scale=[1.0, 1.0, 1.0], aspect_resize=False, mirror=False,
                      center_crop=False, bgr_to_rgb=False)


@pytest.mark.parametrize(
    "entry, expected",
    [
        pytest.param({"shape": [3, 224, 224]}, dict(nch=3, height=224, width=224, size=150528), id="defaults"),
        pytest.param(
            {"layer_name": b"\xff\xfebad", "blob_name": {"hex": "c328"}, "shape": [1, 2, 3], "size": -1, "bpp": 2,
             "batch_size": 4, "qn": 0.1, "offset": -7, "is_signed": True, "qmode": 5, "mean": None,
             "scale": [0.5, 0.25, 2.0], "aspect_resize": True, "bgr_to_rgb": True, "layer_id": -3,
             "blob_id": 2**31 - 1, "layer_type": "Conv", "layout": "NHWC"},
            dict(layer_name=b"\xff\xfebad", blob_name=b"\xc3\x28", nch=1, height=2, width=3, size=-1, bpp=2,
                 batch_size=4, qn=f32(0.1), offset=-7, is_signed=True, qmode=5, mean=None, scale=[0.5, 0.25, 2.0],
                 aspect_resize=True, bgr_to_rgb=True, layer_id=-3, blob_id=2**31 - 1, layer_type=b"Conv",
                 layout=b"NHWC"),
            id="every-field"),
        pytest.param({"name": "rgba", "nch": 4, "height": 8, "width": 8, "mean": [1, 2, 3], "scale": None,
                      "mirror": True, "center_crop": True},
                     dict(layer_name=b"rgba", blob_name=b"rgba", nch=4, height=8, width=8, size=256,
                          mean=[1.0, 2.0, 3.0], scale=None, mirror=True, center_crop=True), id="four-channels"),
        pytest.param({"shape": [2, 3, 4], "bpp": 2, "size": 7}, dict(nch=2, height=3, width=4, bpp=2, size=7),
                     id="size-not-matching-shape"),
    ],
)
def test_input_records_survive_the_round_trip(inspect, entry, expected):
    got = decode_text(inspect({"inputs": [entry]})["inputs"][0])
    assert got == {**INPUT_DEFAULTS, **expected}


OUTPUT_DEFAULTS = dict(layer_id=0, blob_id=0, fused_parent_id=-1, layer_name=b"output0", blob_name=b"output0",
                       layer_fused_parent_name=b"", layer_type=b"Output", layout=b"CHW", bpp=1, num_classes=0,
                       layer_output_type=3, max_dynamic_id=0, qn=1.0, offset=0, is_signed=False)


@pytest.mark.parametrize(
    "entry, expected",
    [
        pytest.param({"shape": [10, 1, 1]}, dict(nch=10, height=1, width=1, size=10), id="defaults"),
        pytest.param({"shape": [1, 1, 500], "bpp": 2, "size": 1001, "layer_output_type": "detection",
                      "num_classes": 80, "max_dynamic_id": 17, "qn": 0.5, "offset": 128, "is_signed": True,
                      "fused_parent_id": 7, "layer_fused_parent_name": b"conv\x80", "layer_id": 9, "blob_id": 11},
                     dict(nch=1, height=1, width=500, bpp=2, size=1001, layer_output_type=1, num_classes=80,
                          max_dynamic_id=17, qn=0.5, offset=128, is_signed=True, fused_parent_id=7,
                          layer_fused_parent_name=b"conv\x80", layer_id=9, blob_id=11), id="every-field"),
        pytest.param({"shape": [1, 1, 1], "layer_output_type": 4, "size": -1},
                     dict(nch=1, height=1, width=1, layer_output_type=4, size=-1), id="unknown-output-type"),
        pytest.param({"shape": [1, 1, 1], "layer_output_type": 2**32 - 1},
                     dict(nch=1, height=1, width=1, size=1, layer_output_type=2**32 - 1), id="largest-output-type"),
        pytest.param({"shape": [2, 4, 4], "bpp": 4, "layer_output_type": "semantic_segmentation"},
                     dict(nch=2, height=4, width=4, bpp=4, size=128, layer_output_type=2), id="float-output"),
    ],
)
def test_output_records_survive_the_round_trip(inspect, entry, expected):
    got = decode_text(inspect({"outputs": [entry]})["outputs"][0])
    assert got == {**OUTPUT_DEFAULTS, **expected}


def test_several_tensors_keep_their_order_and_default_ids(inspect):
    got = inspect({"inputs": [{"shape": [1, 1, 1]}] * 2, "outputs": [{"shape": [1, 1, 1]}] * 3,
                   "dram_bytes": 2**40})
    assert [(t["layer_id"], t["layer_name"]) for t in got["inputs"]] == [(0, "input0"), (1, "input1")]
    assert [t["blob_id"] for t in got["outputs"]] == [0, 1, 2]
    assert got["dram_bytes"] == 2**40


@pytest.mark.parametrize(
    "faults, expected",
    [
        ({}, dict(completion_states=[], final_state=None, missing_statistics=False, null_request=False,
                  null_completed=False, call_status={}, run_time_us=None, input_time_us=None, output_time_us=None,
                  latency_us=0)),
        ({"completion_states": [1, 1, 0], "final_state": 4}, dict(completion_states=[1, 1, 0], final_state=4)),
        ({"final_state": 2**32 - 1, "missing_statistics": True}, dict(final_state=2**32 - 1,
                                                                      missing_statistics=True)),
        ({"null_request": True, "null_completed": True}, dict(null_request=True, null_completed=True)),
        ({"call_status": {"dv_infer_async": 207, "dv_model_load_from_file": 241}},
         dict(call_status={"dv_infer_async": 207, "dv_model_load_from_file": 241})),
        ({"run_time_us": 1234.9, "input_time_us": -1.0, "output_time_us": "nan"},
         dict(run_time_us=f32(1234.9), input_time_us=-1.0, output_time_us=math.nan)),
        ({"run_time_us": 1e30, "input_time_us": "inf", "output_time_us": "1e30", "latency_us": 2500},
         dict(run_time_us=f32(1e30), input_time_us=math.inf, output_time_us=f32(1e30), latency_us=2500)),
    ],
)
def test_faults_survive_the_round_trip(inspect, faults, expected):
    got = inspect({"faults": faults})["faults"]
    for key, value in expected.items():
        if isinstance(value, float) and math.isnan(value):
            assert math.isnan(got[key]), key
        else:
            assert got[key] == value, key


VALID = {"inputs": [{"shape": [3, 2, 2]}], "outputs": [{"shape": [3, 1, 1]}],
         "program": {"scratch": {"acc": 12}, "ops": [{"op": "copy", "src": "input:0", "dst": "output:0",
                                                        "length": 3}]}}


def changed(path, value):
    """VALID with one key replaced (path is a tuple of keys and indices)."""
    description = copy.deepcopy(VALID)
    target = description
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return description


@pytest.mark.parametrize(
    "description, message",
    [
        (changed(("inputs", 0, "shape"), [3, 2]), "inputs[0].shape: expected [nch, height, width]"),
        ({"inputs": [{"name": "x"}]}, "inputs[0]: needs shape"),
        (changed(("inputs", 0, "colour"), 1), "inputs[0]: unknown key(s) colour"),
        (changed(("inputs", 0, "layer_id"), 2**31), "inputs[0].layer_id: 2147483648 is outside"),
        (changed(("inputs", 0, "is_signed"), "yes"), "inputs[0].is_signed: expected true or false"),
        (changed(("inputs", 0, "mean"), [1, 2]), "inputs[0].mean: expected null or a list of three numbers"),
        (changed(("inputs", 0, "qn"), "fast"), "inputs[0].qn: expected a number"),
        (changed(("inputs", 0, "name"), "a\0b"), "inputs[0].layer_name: text must not contain a NUL byte"),
        (changed(("outputs", 0, "layer_output_type"), "banana"), "outputs[0].layer_output_type: unknown type"),
        (changed(("outputs", 0, "layer_output_type"), -1), "outputs[0].layer_output_type: -1 is outside"),
        (changed(("outputs",), {"shape": [1, 1, 1]}), "outputs: expected a list of tensors"),
        ({"faults": {"call_status": {"infer_sync": 1}}}, "'infer_sync' is not a dv_* function name"),
        ({"faults": {"completion_states": [-1]}}, "faults.completion_states[0]: -1 is outside"),
        ({"faults": {"latency": 1}}, "faults: unknown key(s) latency"),
        (changed(("program", "ops", 0, "op"), "conv"), "program.ops[0]: each op needs op"),
        (changed(("program", "ops", 0, "dst"), "input:0"), "program.ops[0].dst: inputs cannot be written"),
        (changed(("program", "ops", 0, "length"), 4), "program.ops[0]: output:0 holds 3 bytes, the op needs 4"),
        (changed(("program", "ops", 0, "src"), "input:1"), "input:1 does not exist"),
        (changed(("program", "ops", 0, "src"), "bias"), "unknown buffer 'bias'; scratch buffers: acc"),
        (changed(("program", "ops", 0), {"op": "dense", "src": "input:0", "dst": "acc", "weights": [[1, 2], [3]]}),
         "program.ops[0].weights: all rows must have the same length"),
        (changed(("program", "ops", 0), {"op": "dense", "src": "input:0", "dst": "acc", "weights": [[200]]}),
         "program.ops[0].weights[0][0]: 200 is outside -128..127"),
        (changed(("program", "ops", 0), {"op": "dense", "src": "input:0", "dst": "acc", "weights": [[1]] * 4}),
         "acc holds 12 bytes, the op needs 16"),
        (changed(("program", "ops", 0), {"op": "requantize", "src": "input:0", "dst": "output:0",
                                          "scale": "nan"}), "program.ops[0].scale: must be finite"),
        (changed(("program", "ops", 0), {"op": "argmax", "src": "acc", "dst": "output:0"}),
         "src_type is required for a scratch buffer"),
        (changed(("program", "ops", 0), {"op": "mean_pool", "src": "input:0", "dst": "output:0", "spatial": 0}),
         "program.ops[0].spatial: must be at least 1"),
        (changed(("program", "scratch"), {"big": 2**32}), "program.scratch.big: 4294967296 is outside"),
        ({"archive_compression": "bz2"}, "archive_compression: expected one of stored, deflated"),
        ({"labels": ["a", 2]}, "labels: expected a list of strings"),
        ({"inputs": [], "modle": {}}, "description: unknown key(s) modle"),
    ],
)
def test_builder_rejects_bad_descriptions_naming_the_key(description, message):
    with pytest.raises(ModelDescriptionError) as info:
        build_model(description)
    assert message in str(info.value)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda data: data[:-1], "truncated"),
        (lambda data: data[:30] + bytes([data[30] ^ 1]) + data[31:], "checksum mismatch"),
        (lambda data: b"X" + data[1:], "not an emulated model"),
        (lambda data: data[:8] + b"\x02" + data[9:], "format version 2 is not supported"),
    ],
    ids=["truncated", "bit-flip", "magic", "version"],
)
def test_reader_refuses_damaged_files(dvm_tool, tmp_path, damage, message):
    path = tmp_path / "bad.dvm"
    path.write_bytes(damage(build_model(VALID)))
    done = subprocess.run([dvm_tool, "inspect", path], capture_output=True, text=True)
    assert done.returncode == 1
    assert f"invalid emulated model file: {message}" in done.stderr


@pytest.mark.parametrize("compression", ["stored", "deflated"])
def test_archive_follows_the_model_and_does_not_disturb_it(inspect, tmp_path, compression):
    description = {**VALID, "metadata": {"model": {"model_task": "classification"}},
                   "labels": "person\r\n\r\n  car \nbus", "archive_compression": compression,
                   "archive_entries": {"Tallowind.json": "{}",
                                       "dir/labels.txt": {"data": b"\xff", "compression": "stored"}}}
    data = build_model(description, tmp_path / "a.dvm")
    model_bytes = len(build_model(VALID))
    assert data[:model_bytes] == build_model(VALID)
    with zipfile.ZipFile(tmp_path / "a.dvm") as archive:
        infos = {info.filename: info for info in archive.infolist()}
        assert list(infos) == ["tallowind.json", "labels.txt", "Tallowind.json", "dir/labels.txt"]
        assert json.loads(archive.read("tallowind.json")) == {"model": {"model_task": "classification"}}
        assert archive.read("labels.txt") == b"person\r\n\r\n  car \nbus"
        assert archive.read("dir/labels.txt") == b"\xff"
        assert all(info.header_offset >= model_bytes for info in infos.values())
        expected = zipfile.ZIP_STORED if compression == "stored" else zipfile.ZIP_DEFLATED
        assert infos["labels.txt"].compress_type == expected
        assert infos["dir/labels.txt"].compress_type == zipfile.ZIP_STORED
    # The reader still sees the model in front of the archive.
    assert inspect(description)["inputs"][0]["nch"] == 3


def test_labels_list_becomes_one_line_per_label(tmp_path):
    build_model({"labels": ["red", "traffic light"], "metadata": '{"raw": true}'}, tmp_path / "l.dvm")
    with zipfile.ZipFile(tmp_path / "l.dvm") as archive:
        assert archive.read("labels.txt") == b"red\ntraffic light\n"
        assert archive.read("tallowind.json") == b'{"raw": true}'


def test_file_without_archive_has_none(tmp_path):
    path = tmp_path / "plain.dvm"
    build_model(VALID, path)
    assert not zipfile.is_zipfile(path)


@pytest.mark.parametrize("suffix", [".yaml", ".json"])
def test_console_script_writes_the_same_file_as_the_function(tmp_path, suffix):
    source = tmp_path / f"model{suffix}"
    source.write_text(json.dumps({**VALID, "labels": ["a"]}))  # JSON is valid YAML as well
    out = tmp_path / "out.dvm"
    assert main([str(source), "-o", str(out)]) == 0
    assert out.read_bytes() == build_model({**VALID, "labels": ["a"]})


def test_console_script_reports_bad_descriptions(tmp_path, capsys):
    source = tmp_path / "bad.yaml"
    source.write_text("inputs:\n  - shape: [1, 2]\n")
    assert main([str(source), "-o", str(tmp_path / "x.dvm")]) == 1
    assert "inputs[0].shape" in capsys.readouterr().err
    assert not (tmp_path / "x.dvm").exists()
    assert main([str(tmp_path / "missing.yaml"), "-o", str(tmp_path / "x.dvm")]) == 1


def run_program(dvm_tool, tmp_path, model_path, inputs, n_outputs):
    ins = []
    for i, data in enumerate(inputs):
        path = tmp_path / f"in{i}.bin"
        path.write_bytes(bytes(data))
        ins += ["--in", path]
    outs = [tmp_path / f"out{i}.bin" for i in range(n_outputs)]
    done = subprocess.run([dvm_tool, "run", model_path, *ins, *[a for o in outs for a in ("--out", o)]],
                          capture_output=True, text=True)
    return done, [o.read_bytes() if o.exists() else None for o in outs]


def synthetic_images(rng):
    """(image, class) pairs: pure and off-shade solid colours, then noisy ones."""
    shades = [((255, 0, 0), 0), ((0, 255, 0), 1), ((0, 0, 255), 2), ((200, 40, 60), 0), ((30, 180, 50), 1),
              ((60, 70, 220), 2), ((150, 100, 100), 0), ((90, 140, 90), 1), ((100, 100, 150), 2)]
    for colour, label in shades:
        yield np.broadcast_to(np.array(colour, np.uint8)[:, None, None], (3, 32, 32)), label
    for colour, label in shades[:6]:
        for _ in range(5):
            noisy = np.array(colour, np.float64)[:, None, None] + rng.normal(0, 60, (3, 32, 32))
            yield np.clip(np.rint(noisy), 0, 255).astype(np.uint8), label


def test_colour_classifier_classifies_synthetic_images(dvm_tool, tmp_path, colour_classifier_path):
    import yaml

    description = yaml.safe_load(EXAMPLE.read_text())
    with zipfile.ZipFile(colour_classifier_path) as archive:
        assert archive.read("labels.txt").decode().split() == ["red", "green", "blue"]
        assert json.loads(archive.read("tallowind.json"))["dataset"]["classes"] == ["red", "green", "blue"]
    qn = description["outputs"][0]["qn"]
    results = []
    for image, label in synthetic_images(np.random.default_rng(7)):
        done, (scores, class_id) = run_program(dvm_tool, tmp_path, colour_classifier_path, [image.tobytes()], 2)
        assert done.returncode == 0, done.stderr
        scores = np.frombuffer(scores, np.int8)
        assert class_id[0] == int(np.argmax(scores))
        assert scores[label] * qn > 0  # the winning class has a positive dequantised score
        results.append(class_id[0] == label)
    assert len(results) == 39 and all(results)


def test_example_builds_with_the_console_script(tmp_path, colour_classifier_path):
    out = tmp_path / "colour.dvm"
    assert main([str(EXAMPLE), "-o", str(out)]) == 0
    assert out.read_bytes() == colour_classifier_path.read_bytes()


def test_emulated_model_fixture_writes_a_loadable_file(emulated_model):
    path = emulated_model(VALID, name="net.best")
    assert path.name == "net.best.dvm"
    assert path.read_bytes() == build_model(VALID)


def test_run_refuses_an_input_shorter_than_the_program_reads(dvm_tool, tmp_path):
    model_path = tmp_path / "m.dvm"
    build_model(VALID, model_path)
    done, _ = run_program(dvm_tool, tmp_path, model_path, [b"\x01\x02"], 1)
    assert done.returncode == 1
    assert "input 0 buffer holds 2 bytes, the program reads 3" in done.stderr


@pytest.mark.parametrize(
    "op, data, expected",
    [
        ({"op": "copy", "src": "input:0", "dst": "output:0", "src_offset": 2}, [1, 2, 3, 4, 5, 6, 7, 8],
         [3, 4, 5, 6, 7, 8, 0, 0]),
        ({"op": "requantize", "src": "input:0", "dst": "output:0", "src_zero": 128, "scale": 0.5, "dst_zero": 1},
         [0, 1, 128, 255, 130, 131, 127, 126], [0xC1, 0xC1, 1, 65, 2, 3, 0, 0]),
        ({"op": "mean_pool", "src": "input:0", "dst": "output:0", "channels": 2, "spatial": 4},
         [0, 1, 2, 3, 255, 255, 254, 254], [2, 255, 0, 0, 0, 0, 0, 0]),
        ({"op": "argmax", "src": "input:0", "dst": "output:0", "count": 5}, [1, 7, 3, 7, 2, 99, 99, 99],
         [1, 0, 0, 0, 0, 0, 0, 0]),
    ],
    ids=["copy", "requantize", "mean_pool", "argmax"],
)
def test_builder_ops_run_as_described(dvm_tool, tmp_path, op, data, expected):
    signed = op["op"] == "requantize"
    description = {"inputs": [{"shape": [1, 1, 8]}],
                   "outputs": [{"shape": [1, 1, 8], "is_signed": signed}], "program": {"ops": [op]}}
    model_path = tmp_path / "op.dvm"
    build_model(description, model_path)
    done, (out,) = run_program(dvm_tool, tmp_path, model_path, [data], 1)
    assert done.returncode == 0, done.stderr
    assert list(out) == expected
