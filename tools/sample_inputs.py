"""Valid inputs of the kinds the module reads, built the same way by the test
suites (tests/python) and by the fuzz corpus writer (fuzz/make_corpus.py):
model files with their metadata archives, a complete metadata document and
the description of a pass-through model for the emulator's model builder."""
import io
import random
import zipfile
from unittest import mock


def model_bytes(size, seed=1):
    """Random stand-in for a compiled model that holds no ZIP signature."""
    data = bytearray(random.Random(seed).randbytes(size))
    for i in range(len(data) - 1):
        if data[i:i + 2] == b"PK":
            data[i] = ord("Q")
    return bytes(data)


def archive_bytes(entries, compression=zipfile.ZIP_DEFLATED, comment=b""):
    """entries: {name: str or bytes} or a list of (name, data) pairs."""
    items = entries.items() if isinstance(entries, dict) else entries
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        for name, data in items:
            archive.writestr(name, data)
        archive.comment = comment
    return buffer.getvalue()


def zip64_archive_bytes(entries, compression=zipfile.ZIP_DEFLATED):
    """The archive zipfile writes once sizes, offsets and the entry count pass
    its 32-bit limits: every one of them in zip64 records and fields."""
    with mock.patch.object(zipfile, "ZIP64_LIMIT", 0), mock.patch.object(zipfile, "ZIP_FILECOUNT_LIMIT", 0):
        data = archive_bytes(entries, compression)
    assert b"PK\x06\x06" in data and b"PK\x06\x07" in data
    return data


# A metadata document with every record and field the reader knows, unknown
# keys at several depths and values at the edges of their ranges.
FULL_METADATA = {
    "task": "ignored at top level",
    "classes": ["ignored"],
    "dataset": {"classes": ["person", "car"], "id": "coco2017", "name": "COCO", "license": {"a": [1, 2]}},
    "input": {"size": "640x480", "input_channels": 3, "output_channels": 4294967295, "cameraadaptor": "rgb"},
    "model": {"model_task": "detect", "model_size": "s", "model_version": "8.1.0", "detection": True,
              "segmentation": False, "extra": None},
    "deployment": {"model_name": "yolov8s", "name": "YOLO", "author": "Tallowind", "description": "people"},
    "compilation": {"target": "ara-2", "format": "dvm",
                    "ppa": {"ips": 120, "power_mw": 512.5, "cycles": 18446744073709551615, "ddr_bw_mbps": 0.25}},
    "decoder_version": "yolov8",
    "nms": "class_agnostic",
    "outputs": [
        {"index": 0, "name": "boxes", "type": "detection", "decoder": "yolo", "decode": True, "dtype": "int8",
         "shape": [1, 84, -8400], "dshape": [["batch", 1], {"num_boxes": 8400}], "normalized": False,
         "encoding": "ltrb", "score_format": "sigmoid", "quantization": {"scale": 0.5, "zero_point": -3},
         "unknown": [{"deep": [[[]]]}]},
        {},
    ],
    "ara2": {"qmode": 9},
}


def passthrough(nbytes: int, faults: dict | None = None, **output) -> dict:
    description = {
        "inputs": [{"name": "data", "shape": [1, 1, nbytes]}],
        "outputs": [{"name": "result", "shape": [1, 1, nbytes], **output}],
        "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
    }
    if faults:
        description["faults"] = faults
    return description
