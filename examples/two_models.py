"""Two models in one process: a detector feeding a classifier.

Both are emulated models built here with the emulator's model builder
(`ara2_emulator.model_builder.build_model`), so the example needs no model
file. The "detector" pools each colour plane of a 3 x 32 x 32 image into
four horizontal bands (a coarse 3 x 4 map); the application dequantises
that map, picks the band with the most colour and hands its colour, quantised
again, to a "classifier" that names it red, green or blue.

The detector runs on endpoint 0 and the classifier on endpoint 1 when the
proxy has two. The two stages overlap: while the classifier names the colour
of frame N, the detector's request for frame N + 1 is already submitted
(each model has one set of tensors, so the detector's output for frame N is
read before its next input is written).

    ara2-emulator run --endpoints 2 -- python two_models.py

Prints where each model runs, then one line per frame:
`frame N: band B of 4, colour (R, G, B) -> LABEL SCORE (expected ...)`,
then `N of N frames as expected`; exit status 0 when every frame is.
"""
from __future__ import annotations

import pathlib
import sys
import tempfile

import numpy as np

import tallowind_ara2 as ara2
from ara2_emulator.model_builder import build_model

BANDS = 4
PIXEL = {"qn": 1 / 255, "offset": 0, "qmode": 9, "mean": [0, 0, 0], "scale": [1 / 255] * 3}

DETECTOR = {
    "description": "pools each colour plane into four horizontal bands",
    "inputs": [{"name": "image", "shape": [3, 32, 32], **PIXEL}],
    "outputs": [{"name": "bands", "shape": [3, BANDS, 1], "qn": 1 / 255, "layer_output_type": "detection"}],
    # In CHW order the rows of one band are contiguous: 3 x 4 planes of 8 x 32 pixels each.
    "program": {"ops": [{"op": "mean_pool", "src": "input:0", "dst": "output:0",
                         "channels": 3 * BANDS, "spatial": 32 * 32 // BANDS}]},
}

CLASSIFIER = {
    "description": "names a colour red, green or blue",
    "inputs": [{"name": "colour", "shape": [3, 1, 1], **PIXEL}],
    "outputs": [
        {"name": "scores", "shape": [3, 1, 1], "is_signed": True, "qn": 1 / 64,
         "layer_output_type": "classification", "num_classes": 3},
        {"name": "class_id", "shape": [1, 1, 1], "layer_output_type": "classification", "num_classes": 3},
    ],
    "program": {"scratch": {"logits": 12}, "ops": [
        {"op": "dense", "src": "input:0", "src_zero": 128, "dst": "logits",
         "weights": [[64, -32, -32], [-32, 64, -32], [-32, -32, 64]]},
        {"op": "requantize", "src": "logits", "src_type": "i32", "scale": 1 / 256, "dst": "output:0"},
        {"op": "argmax", "src": "output:0", "dst": "output:1"},
    ]},
    "labels": ["red", "green", "blue"],
}

# (band the coloured stripe is in, its RGB colour, the label it should get)
FRAMES = [(1, (200, 20, 40), "red"), (3, (40, 210, 30), "green"), (0, (20, 40, 170), "blue"),
          (2, (235, 120, 20), "red")]


def scene(band: int, rgb: tuple[int, int, int], seed: int) -> np.ndarray:
    """A noisy grey 3 x 32 x 32 image with a coloured stripe across one band."""
    rng = np.random.default_rng(seed)
    image = np.full((3, 32, 32), 128, np.int16) + rng.integers(-20, 21, (3, 32, 32))
    rows = slice(band * 32 // BANDS, (band + 1) * 32 // BANDS)
    image[:, rows, :] = np.array(rgb).reshape(3, 1, 1) + rng.integers(-20, 21, (3, 32 // BANDS, 32))
    return np.clip(image, 0, 255).astype(np.uint8)


def strongest_band(bands: np.ndarray) -> tuple[int, np.ndarray]:
    """The band whose colour is furthest from grey, and that colour (floats, 0 to 1)."""
    colours = bands[:, :, 0].T  # (band, channel)
    band = int(np.argmax(colours.max(axis=1) - colours.min(axis=1)))
    return band, colours[band]


def quantised(model: ara2.Model, colour: np.ndarray) -> np.ndarray:
    """A colour of 0-1 floats as the classifier's uint8 input: the mean and
    scale take 0-255 pixels to these floats, the quantisation takes the floats
    to the bytes."""
    quant = model.input_quants(0)
    return np.clip(np.rint(colour / quant.qn) + quant.offset, 0, 255).astype(np.uint8).reshape(3, 1, 1)


def run(detector: ara2.Model, classifier: ara2.Model, labels: list[str]) -> int:
    images = [scene(band, rgb, seed) for seed, (band, rgb, _) in enumerate(FRAMES)]
    detector.set_input_tensor(0, images[0])
    pending = detector.submit()
    correct = 0
    for number, (true_band, _, expected) in enumerate(FRAMES):
        pending.wait()
        bands = detector.dequantize(0)  # read before the detector's tensors are used again
        if number + 1 < len(images):
            detector.set_input_tensor(0, images[number + 1])
            pending = detector.submit()  # the detector works on the next frame ...
        band, colour = strongest_band(bands)
        classifier.set_input_tensor(0, quantised(classifier, colour))
        classifier.run()  # ... while the classifier names this one
        class_id = int(classifier.get_output_tensor(1).ravel()[0])
        score = float(classifier.dequantize(0).ravel()[class_id])
        ok = band == true_band and labels[class_id] == expected
        correct += ok
        print(f"frame {number}: band {band} of {BANDS}, colour ({', '.join(f'{c:.2f}' for c in colour)}) "
              f"-> {labels[class_id]} {score:+.3f} ({'as expected' if ok else f'expected {expected}'})")
    return correct


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="two-models-") as workdir:
        detector_path = pathlib.Path(workdir) / "detector.dvm"
        classifier_path = pathlib.Path(workdir) / "classifier.dvm"
        build_model(DETECTOR, detector_path)
        build_model(CLASSIFIER, classifier_path)
        labels = ara2.read_labels(classifier_path)
        with ara2.Session.connect() as session:
            endpoints = session.list_endpoints()
            second = 1 if len(endpoints) > 1 else 0
            with endpoints[0].load_model(detector_path) as detector, \
                    endpoints[second].load_model(classifier_path) as classifier:
                detector.allocate_tensors()
                classifier.allocate_tensors()
                print(f"detector on endpoint 0 {detector!r}, classifier on endpoint {second} {classifier!r}")
                correct = run(detector, classifier, labels)
    print(f"{correct} of {len(FRAMES)} frames as expected")
    return 0 if correct == len(FRAMES) else 1


if __name__ == "__main__":
    sys.exit(main())
