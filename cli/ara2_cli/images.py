"""Images for `run --image` and `bench --image`: a picture file decoded with
Pillow or OpenCV (whichever is installed) or a .npy array, written into the
model's input as the model describes it; and the detections of a detector
read back (a classifier's top classes are tensors.top_k's)."""
from __future__ import annotations

import importlib
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

import tallowind_ara2 as ara2

from .common import CliError, Document, plain
from .tensors import NPY_MAGIC, can_dequantize

Color = Literal["bgr", "rgb"]


def read_image(path: str, color: Color | None) -> tuple[NDArray[np.uint8], Color]:
    """The image and its channel order. A .npy file is taken as it is (BGR
    unless `color` says otherwise); a picture file is decoded by Pillow (RGB)
    or else OpenCV (BGR)."""
    try:
        with open(path, "rb") as file:
            is_npy = file.read(len(NPY_MAGIC)) == NPY_MAGIC
        if is_npy:
            array = np.load(path, allow_pickle=False)
            if array.dtype != np.uint8:
                raise CliError(f"image {path} is a {array.dtype} array; images are uint8")
            return array, color or "bgr"
    except (OSError, ValueError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise CliError(f"cannot read image {path}: {reason}") from error
    for decode in (_pillow, _opencv):
        decoded = decode(path)
        if decoded is not None:
            return decoded
    raise CliError(f"cannot decode image {path}: install Pillow or OpenCV (opencv-python-headless), "
                   "or give a .npy array (height x width x 3, uint8)")


def _module(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def _pillow(path: str) -> tuple[NDArray[np.uint8], Color] | None:
    image_module = _module("PIL.Image")
    if image_module is None:
        return None
    try:
        with image_module.open(path) as picture:
            return np.asarray(picture.convert("RGB")), "rgb"
    except (OSError, ValueError) as error:
        raise CliError(f"cannot decode image {path}: {error}") from error


def _opencv(path: str) -> tuple[NDArray[np.uint8], Color] | None:
    cv2 = _module("cv2")
    if cv2 is None:
        return None
    image = cv2.imread(path, cv2.IMREAD_COLOR)
    if image is None:
        raise CliError(f"cannot decode image {path}: OpenCV does not read it")
    return image, "bgr"


def geometry_document(geometry: ara2.Geometry) -> Document:
    return {"scale": [geometry.scale_x, geometry.scale_y], "offset": [geometry.offset_x, geometry.offset_y],
            "mirrored": geometry.mirrored}


def _matrix(array: NDArray[Any], columns: int | None = None) -> NDArray[Any]:
    """An output as rows by columns: leading dimensions of 1 dropped, and a
    channels-first (columns x rows) layout transposed when `columns` says so."""
    matrix = array.reshape(-1, array.shape[-1]) if array.ndim > 2 else array
    while matrix.ndim > 2 and matrix.shape[0] == 1:
        matrix = matrix[0]
    if columns is not None and matrix.shape[-1] != columns and matrix.shape[0] == columns:
        matrix = matrix.T
    return matrix


def detections(model: ara2.Model, path: str, labels: list[str], geometry: ara2.Geometry,
               limit: int) -> Document | None:
    """The detections of a model with a boxes output (4 values per box) and a
    class-scores output, both marked as detection outputs; None otherwise."""
    found = [i for i in range(model.n_outputs)
             if model.output_info(i).layer_output_type == ara2.ModelOutputType.Detection]
    shapes = {i: model.output_shape(i) for i in found}
    boxes_at = [i for i in found if 4 in shapes[i][1:]]
    scores_at = [i for i in found if i not in boxes_at[:1]]
    if not boxes_at or not scores_at:
        return None
    boxes_index, scores_index = boxes_at[0], scores_at[0]
    boxes = _matrix(model.get_output_tensor(boxes_index).reshape(shapes[boxes_index][1:]), 4)
    scores = model.get_output_tensor(scores_index).reshape(shapes[scores_index][1:])
    scores = _matrix(scores, None)
    if scores.shape[0] != boxes.shape[0] and scores.shape[1] == boxes.shape[0]:
        scores = scores.T
    quantised = [can_dequantize(model, i) for i in (boxes_index, scores_index)]
    # What the file's metadata says of the boxes output (encoding, score
    # format, normalised boxes) is followed over the defaults.
    metadata = ara2.read_metadata(path) if ara2.has_metadata(path) else None
    specs = [spec for spec in metadata.outputs if spec.index == boxes_index] if metadata is not None else []
    found_boxes, found_scores, classes = ara2.decode_detections(
        boxes, scores,
        boxes_quant=model.output_quants(boxes_index) if quantised[0] else None,
        scores_quant=model.output_quants(scores_index) if quantised[1] else None,
        geometry=geometry, max_detections=limit, metadata=specs[0] if specs else None)
    return {"outputs": [boxes_index, scores_index], "detections": [
        {"class": int(c), "label": labels[c] if c < len(labels) else None, "score": plain(float(s)),
         "box": [plain(float(v)) for v in box]} for box, s, c in zip(found_boxes, found_scores, classes)]}
