"""The OpenCV and numpy reference of each step the module does natively
(the same recipe as the user guide's): what set_input_image, top_k, nms and
decode_detections are checked against. Test-only: OpenCV is never needed at
run time."""
from __future__ import annotations

import cv2
import numpy as np

INTERPOLATION = {"linear": cv2.INTER_LINEAR, "nearest": cv2.INTER_NEAREST}


def prepare(image, info, preprocess, quant, color="bgr", interpolation="linear", fill=114, crop_ratio=0.875):
    """The tensor bytes (as an array in the tensor's layout) for `image`."""
    channels, height, width = info.nch, info.height, info.width
    flag = INTERPOLATION[interpolation]
    h, w = image.shape[:2]
    image = image.reshape(h, w, channels)
    if preprocess.center_crop:  # the central window of the input's shape, crop_ratio of the largest
        fitted = min(w / width, h / height)
        cw = min(w, max(1, round(width * fitted * crop_ratio)))
        ch = min(h, max(1, round(height * fitted * crop_ratio)))
        x0, y0 = (w - cw) // 2, (h - ch) // 2
        resized = cv2.resize(image[y0:y0 + ch, x0:x0 + cw], (width, height), interpolation=flag)
    elif preprocess.aspect_resize:  # letterbox: scaled to fit, centred, bars in `fill`
        ratio = min(width / w, height / h)
        nw, nh = min(width, max(1, round(w * ratio))), min(height, max(1, round(h * ratio)))
        resized = np.full((height, width, channels), fill, np.uint8)
        x0, y0 = (width - nw) // 2, (height - nh) // 2
        resized[y0:y0 + nh, x0:x0 + nw] = cv2.resize(image, (nw, nh), interpolation=flag).reshape(nh, nw, channels)
    else:
        resized = cv2.resize(image, (width, height), interpolation=flag)
    resized = resized.reshape(height, width, channels)
    if preprocess.mirror:
        resized = resized[:, ::-1]
    if channels == 3 and preprocess.bgr_to_rgb != (color == "rgb"):
        resized = resized[..., ::-1]
    mean = np.array(preprocess.mean, np.float32)[:channels]
    scale = np.array(preprocess.scale, np.float32)[:channels]
    real = (resized.astype(np.float32) - mean) * scale
    dtype = np.int8 if quant.is_signed else np.uint8
    q = np.rint(real / np.float32(quant.qn)) + quant.offset
    q = np.clip(q, np.iinfo(dtype).min, np.iinfo(dtype).max).astype(dtype)
    return q if info.layout.upper().endswith("HWC") else q.transpose(2, 0, 1)


def top_k(scores, k):
    flat = np.asarray(scores, np.float32).ravel()
    order = np.argsort(-flat, kind="stable")  # ties by the lower index
    return [(int(i), float(flat[i])) for i in order[:k]]


def nms(boxes, scores, iou_threshold, score_threshold, max_detections, class_ids=None):
    """Greedy suppression as torchvision's CPU kernel does it, in float32."""
    boxes = np.asarray(boxes, np.float32)
    scores = np.asarray(scores, np.float32)
    candidates = np.flatnonzero(scores > score_threshold)
    order = candidates[np.argsort(-scores[candidates], kind="stable")]
    x1, y1, x2, y2 = boxes.T
    areas = (x2 - x1) * (y2 - y1)
    kept = []
    suppressed = np.zeros(len(scores), bool)
    for position, i in enumerate(order):
        if suppressed[i]:
            continue
        kept.append(int(i))
        rest = order[position + 1:]
        w = np.maximum(np.float32(0), np.minimum(x2[i], x2[rest]) - np.maximum(x1[i], x1[rest]))
        h = np.maximum(np.float32(0), np.minimum(y2[i], y2[rest]) - np.maximum(y1[i], y1[rest]))
        inter = w * h
        overlap = inter / (areas[i] + areas[rest] - inter) > np.float32(iou_threshold)
        if class_ids is not None:
            overlap &= np.asarray(class_ids)[rest] == np.asarray(class_ids)[i]
        suppressed[rest[overlap]] = True
    return kept[:max_detections]
