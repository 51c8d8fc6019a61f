"""Classifies every image in a directory with a classifier model.

Shows the input path of a real application: images of any size go through
`Model.set_input_image`, which resizes (or crops, or letterboxes), orders the
channels, normalises with the per-channel mean and scale the model declares
(`Model.input_preprocess`), quantises with its input quantisation
(`Model.input_quants`) and lays the tensor out, as the model says, in one
pass; the scores come back dequantised, and `top_k` names the best with the
labels the model file carries.

Reads `.npy` files holding a height x width x 3 RGB array (or height x
width for grey) of pixel values 0 to 255, any numeric dtype. With Pillow
installed (`pip install pillow`, optional) it also reads PNG, JPEG and BMP
files; without it those are reported as skipped.

    ara2-emu-model colour_classifier.yaml -o colour_classifier.dvm
    ara2-emulator run -- python classify_images.py colour_classifier.dvm IMAGES/

Prints one line per file, `NAME: LABEL SCORE, ...` with the best --top-k
classes first (or `NAME: skipped: REASON`), then `classified N of M files`.
Exit status 0 when every file was classified, 1 otherwise.
"""
from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

import tallowind_ara2 as ara2

PILLOW_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp"}


def load_image(path: pathlib.Path) -> np.ndarray:
    """The image as a uint8 height x width x channels RGB array."""
    if path.suffix == ".npy":
        image = np.load(path, allow_pickle=False)
    else:
        try:
            from PIL import Image
        except ImportError:
            raise ValueError("Pillow is not installed (pip install pillow)") from None
        with Image.open(path) as picture:
            image = np.asarray(picture.convert("RGB"))
    if image.ndim == 2:
        image = image[:, :, np.newaxis]
    if image.ndim != 3 or image.shape[0] == 0 or image.shape[1] == 0:
        raise ValueError(f"expected a height x width x channels array, got shape {image.shape}")
    if image.dtype != np.uint8:  # float pixels, say
        image = np.clip(np.rint(image), 0, 255).astype(np.uint8)
    return image


def with_channels(image: np.ndarray, channels: int) -> np.ndarray:
    """Grey to colour, or an alpha channel dropped (a view where it can be)."""
    if image.shape[2] == channels:
        return image
    if image.shape[2] == 1:
        return np.repeat(image, channels, axis=2)
    return image[:, :, :channels]


def score_output(model: ara2.Model, labels: list[str]) -> int:
    """The classification output holding one score per label."""
    for index in range(model.n_outputs):
        info = model.output_info(index)
        if info.layer_output_type == ara2.ModelOutputType.Classification and \
                info.nch * info.height * info.width == len(labels):
            return index
    raise SystemExit("the model has no classification output with one score per label")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", type=pathlib.Path, help="a classifier .dvm file that carries labels")
    parser.add_argument("directory", type=pathlib.Path, help="the images to classify")
    parser.add_argument("--top-k", type=int, default=1, help="classes shown per image (default 1)")
    args = parser.parse_args(argv)

    model_path = args.model.resolve()  # the proxy opens the file, from its own working directory
    labels = ara2.read_labels(model_path)
    if not labels:
        parser.error(f"{args.model} carries no labels")
    files = sorted(p for p in args.directory.iterdir() if p.suffix.lower() in PILLOW_SUFFIXES | {".npy"})
    classified = 0
    with ara2.Session.connect() as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            model.allocate_tensors()
            output = score_output(model, labels)
            channels = model.input_shape(0)[0]
            for path in files:
                try:
                    model.set_input_image(0, with_channels(load_image(path), channels), color="rgb")
                except (OSError, ValueError) as exc:
                    print(f"{path.name}: skipped: {exc}")
                    continue
                model.run()
                best = ara2.top_k(model.dequantize(output), args.top_k, labels)
                print(f"{path.name}: " + ", ".join(f"{label} {score:.3f}" for _, label, score in best))
                classified += 1
    print(f"classified {classified} of {len(files)} files")
    return 0 if classified == len(files) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
