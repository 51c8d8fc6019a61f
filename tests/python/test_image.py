"""set_input_image, Pipeline.put_image and the result decoders against the
OpenCV and numpy reference (image_reference.py, the guide's recipe): every
combination of the model's geometry and colour flags, both signs, both
layouts, odd sizes, strided views, and the refusals that leave the tensor
as it was."""
import itertools

import numpy as np
import pytest

import tallowind_ara2 as ara2

cv2 = pytest.importorskip("cv2")
import image_reference as reference  # noqa: E402  (needs cv2)

WIDTH, HEIGHT = 24, 20
RNG = np.random.default_rng(5)
FRAME = RNG.integers(0, 256, (1079, 1919, 3), dtype=np.uint8)
# (height, width): one pixel, a large odd frame, smaller than the input, portrait, landscape.
SIZES = [(1, 1), (1079, 1919), (7, 5), (61, 17), (33, 90)]
FLAGS = ["center_crop", "aspect_resize", "mirror", "bgr_to_rgb"]


def image_description(channels=3, layout="CHW", signed=False, width=WIDTH, height=HEIGHT, bpp=1, **input_fields):
    """A model whose output is a copy of its image input."""
    quant = {"qn": 0.0157, "offset": -3, "mean": [123.5, 116.25, 103.5], "scale": [0.0171, 0.0175, 0.0174]}
    if not signed:
        quant = {"qn": 1 / 255, "offset": 2, "mean": [0.0, 10.0, 20.0], "scale": [1 / 255, 1 / 250, 1 / 245]}
    return {
        "inputs": [{"name": "image", "shape": [channels, height, width], "layout": layout, "is_signed": signed,
                    "bpp": bpp, **quant, **input_fields}],
        "outputs": [{"name": "copy", "shape": [channels, height, width], "is_signed": signed}],
        "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
    }


def tensor_bytes(model):
    """The input tensor's bytes, read back through the model's copy."""
    model.run()
    return model.get_output_tensor(0).tobytes()


def frame(height, width, channels=3):
    if height <= FRAME.shape[0] and width <= FRAME.shape[1]:
        view = FRAME[:height, :width]
    else:
        view = RNG.integers(0, 256, (height, width, 3), dtype=np.uint8)
    return np.ascontiguousarray(view[..., :channels]) if channels == 3 else np.ascontiguousarray(view[..., 0])


def expected(model, image, **options):
    return reference.prepare(image, model.input_info(0), model.input_preprocess(0), model.input_quants(0),
                             **options).tobytes()


@pytest.mark.parametrize("layout", ["CHW", "NHWC"])
@pytest.mark.parametrize("signed", [False, True])
@pytest.mark.parametrize("flags", list(itertools.product([False, True], repeat=4)),
                         ids=lambda f: "-".join(name for name, on in zip(FLAGS, f) if on) or "stretch")
def test_tensor_equals_the_opencv_reference_for_every_flag_combination(open_model, layout, signed, flags):
    model = open_model(image_description(layout=layout, signed=signed, **dict(zip(FLAGS, flags))))
    for (height, width), interpolation in itertools.product(SIZES, ["linear", "nearest"]):
        image = frame(height, width)
        color = "rgb" if (height + width) % 2 else "bgr"
        geometry = model.set_input_image(0, image, color=color, interpolation=interpolation)
        assert (geometry.source_width, geometry.source_height) == (width, height)
        assert tensor_bytes(model) == expected(model, image, color=color, interpolation=interpolation), \
            (height, width, interpolation, color)


@pytest.mark.parametrize("shape", [(37, 53), (37, 53, 1)])
@pytest.mark.parametrize("aspect_resize", [False, True])
def test_one_channel_inputs_take_two_dimensional_images(open_model, shape, aspect_resize):
    model = open_model(image_description(channels=1, aspect_resize=aspect_resize, mirror=True))
    image = RNG.integers(0, 256, shape, dtype=np.uint8)
    model.set_input_image(0, image)
    assert tensor_bytes(model) == expected(model, image)


def test_views_of_a_larger_frame_are_read_through_their_strides(open_model):
    model = open_model(image_description(aspect_resize=True, bgr_to_rgb=True))
    crop = FRAME[101:701:2, 300:1500]  # a strided crop: no copy is made by the caller
    model.set_input_image(0, crop)
    assert tensor_bytes(model) == expected(model, np.ascontiguousarray(crop))
    # The same pixels as an RGB view, channels reversed in place, give the same tensor.
    model.set_input_image(0, crop[..., ::-1], color="rgb")
    assert tensor_bytes(model) == expected(model, np.ascontiguousarray(crop))


@pytest.mark.parametrize("view", [
    lambda f: f[::-1, ::-1],                                         # negative strides
    lambda f: np.broadcast_to(f[:1, :1], (300, 500, 3)),             # strides of 0
    lambda f: np.lib.stride_tricks.as_strided(f, (200, 300, 3), (f.strides[0] * 2, 9, 1))[:, :, ::-1],
], ids=["flipped", "broadcast", "every-third-pixel"])
@pytest.mark.parametrize("interpolation", ["linear", "nearest"])
def test_any_strides_give_what_a_copy_gives(open_model, view, interpolation):
    model = open_model(image_description(width=64, height=48, aspect_resize=True))
    image = view(FRAME)
    model.set_input_image(0, image, interpolation=interpolation)
    assert tensor_bytes(model) == expected(model, np.ascontiguousarray(image), interpolation=interpolation)


@pytest.mark.parametrize("threads", [2, 5])
def test_rows_split_over_threads_give_the_same_tensor(open_model, threads):
    model = open_model(image_description(width=64, height=48, aspect_resize=True))
    model.set_input_image(0, FRAME, threads=threads)
    assert tensor_bytes(model) == expected(model, FRAME)


def test_fill_and_crop_ratio_follow_the_arguments(open_model):
    letterbox = open_model(image_description(aspect_resize=True))
    image = frame(10, 40)
    letterbox.set_input_image(0, image, fill=0)
    assert tensor_bytes(letterbox) == expected(letterbox, image, fill=0)
    crop = open_model(image_description(center_crop=True))
    crop.set_input_image(0, FRAME, crop_ratio=0.5)
    assert tensor_bytes(crop) == expected(crop, FRAME, crop_ratio=0.5)


def test_tensor_sets_take_images_too(open_model):
    model = open_model(image_description(aspect_resize=True))
    with model.create_tensor_set() as tensor_set:
        geometry = tensor_set.set_input_image(0, FRAME)
        tensor_set.run()
        assert tensor_set.get_output_tensor(0).tobytes() == expected(model, FRAME)
    assert geometry.target_width == WIDTH


def test_geometry_maps_model_boxes_back_to_the_frame(open_model):
    model = open_model(image_description(width=640, height=640, aspect_resize=True, mirror=True))
    geometry = model.set_input_image(0, frame(1079, 1919))
    assert geometry.mirrored and geometry.scale_x == pytest.approx(640 / 1919)
    assert geometry.offset_y == (640 - round(1079 * 640 / 1919)) // 2
    # The whole content area (mirrored) is the whole frame; the bars clip to its edge.
    top = geometry.offset_y
    boxes = np.array([[0, top, 640, 640 - top], [600, 0, 640, 700]], np.float32)
    back = geometry.to_source(boxes)
    assert back.dtype == np.float32 and back.shape == (2, 4)
    np.testing.assert_allclose(back[0], [0, 0, 1919, 1079], atol=0.01)
    np.testing.assert_allclose(back[1], [0, 0, 40 / geometry.scale_x, 1079], atol=0.01)
    assert "Geometry(" in repr(geometry)
    with pytest.raises(ValueError, match="N x 4"):
        geometry.to_source(np.zeros((3, 3)))


# ---------------------------------------------------------------------------
# Refusals


def refused(model, exception, match, *args, **kwargs):
    before = tensor_bytes(model)
    with pytest.raises(exception, match=match):
        model.set_input_image(0, *args, **kwargs)
    assert tensor_bytes(model) == before


@pytest.mark.parametrize("image, exception, match", [
    (np.zeros((20, 24, 3), np.float32), TypeError, "uint8 array, got float32"),
    ([[1, 2, 3]], TypeError, "uint8 array, not list"),
    (np.zeros((20, 24), np.uint8), ValueError, r"height x width x 3 for this 3-channel input, got shape \(20, 24\)"),
    (np.zeros((20, 24, 4), np.uint8), ValueError, r"got shape \(20, 24, 4\)"),
    (np.zeros((0, 24, 3), np.uint8), ValueError, "empty"),
])
def test_images_that_do_not_fit_are_refused_and_the_tensor_kept(open_model, image, exception, match):
    model = open_model(image_description())
    model.set_input_image(0, FRAME)
    refused(model, exception, match, image)


@pytest.mark.parametrize("kwargs, match", [
    ({"color": "bgra"}, "color must be 'bgr' or 'rgb', not 'bgra'"),
    ({"interpolation": "cubic"}, "interpolation must be 'linear' or 'nearest'"),
    ({"fill": 256}, "fill must be between 0 and 255"),
    ({"crop_ratio": 0.0}, r"crop_ratio must be in \(0, 1\]"),
    ({"threads": 0}, "threads must be between 1 and 16"),
])
def test_arguments_out_of_range_are_refused(open_model, kwargs, match):
    model = open_model(image_description())
    refused(model, ValueError, match, FRAME, **kwargs)


@pytest.mark.parametrize("fields, match", [
    ({"bpp": 2}, "input 0 has 2 bytes per element"),
    ({"layout": "CWH"}, "input 0 has layout 'CWH'"),
    ({"bpp": 4}, "the input tensor holds 1440 bytes; a 3 x 20 x 24 float32 image needs 5760"),
])
def test_inputs_an_image_cannot_fill_are_refused(open_model, fields, match):
    model = open_model(image_description(**fields))
    with pytest.raises(ara2.TensorError, match=match):
        model.set_input_image(0, FRAME)


def test_inputs_in_use_by_a_pending_request_are_refused(open_model):
    model = open_model(image_description())
    request = model.submit()
    with pytest.raises(ara2.TensorError, match="pending request"):
        model.set_input_image(0, FRAME)
    request.wait()
    with pytest.raises(IndexError):
        model.set_input_image(1, FRAME)


# ---------------------------------------------------------------------------
# Pipeline.put_image


def test_pipeline_results_carry_their_geometry_and_the_reference_tensor(ara2_session, emulated_model, open_model):
    description = image_description(aspect_resize=True, bgr_to_rgb=True)
    path = emulated_model(description, name="pipeline_image")
    images = [frame(h, w) for h, w in [(1079, 1919), (33, 90), (61, 17), (7, 5), (1, 1)]]
    reference_model = open_model(description)
    with ara2.Pipeline.open(ara2_session.list_endpoints(), path, requests=2) as pipeline:
        for number, image in enumerate(images):
            pipeline.put_image(image, userdata=number)
        pipeline.put(np.zeros(3 * HEIGHT * WIDTH, np.uint8), userdata="bytes")
        results = list(pipeline)
    assert [result.userdata for result in results] == [0, 1, 2, 3, 4, "bytes"]
    for result, image in zip(results, images):
        assert result.error is None
        assert result.geometry.source_width == image.shape[1]
        assert result.outputs[0].tobytes() == expected(reference_model, image)
    assert results[-1].geometry is None


def test_pipeline_put_image_refuses_models_of_several_inputs(ara2_session, emulated_model):
    description = image_description()
    description["inputs"].append({"name": "extra", "shape": [1, 1, 4]})
    with ara2.Pipeline.open(ara2_session.list_endpoints()[0], emulated_model(description)) as pipeline:
        with pytest.raises(ValueError, match="models of one input; this one has 2"):
            pipeline.put_image(FRAME)
        assert pipeline.in_flight == 0


# ---------------------------------------------------------------------------
# top_k, nms, decode_detections


@pytest.mark.parametrize("seed", range(5))
def test_top_k_equals_a_stable_sort_with_ties(seed):
    rng = np.random.default_rng(seed)
    scores = rng.integers(0, 8, rng.integers(1, 200)).astype(np.float32)
    labels = [f"class {i}" for i in range(len(scores) - 3)]
    got = ara2.top_k(scores, k=7, labels=labels)
    want = reference.top_k(scores, 7)
    assert [(index, score) for index, _, score in got] == want
    assert [label for index, label, _ in got] == [labels[i] if i < len(labels) else None for i, _ in want]


def test_top_k_edges():
    assert ara2.top_k(np.zeros(0, np.float32)) == []
    assert ara2.top_k(np.array([[0.5], [2.0]]), k=10) == [(1, None, 2.0), (0, None, 0.5)]
    with pytest.raises(ValueError, match="negative"):
        ara2.top_k(np.ones(3), k=-1)


def random_boxes(rng, n):
    corners = rng.uniform(0, 100, (n, 2)).astype(np.float32)
    return np.hstack([corners, corners + rng.uniform(1, 40, (n, 2)).astype(np.float32)])


@pytest.mark.parametrize("seed", range(20))
def test_nms_equals_the_greedy_reference(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 80))
    boxes = random_boxes(rng, n)
    scores = (rng.integers(0, 10, n) / 10).astype(np.float32)  # many ties
    class_ids = rng.integers(0, 3, n) if seed % 2 else None
    iou, threshold, limit = seed % 5 / 5, 0.15, 4 if seed % 3 == 0 else 300
    got = ara2.nms(boxes, scores, iou_threshold=iou, score_threshold=threshold, max_detections=limit,
                   class_ids=class_ids)
    assert got.dtype == np.int64
    assert got.tolist() == reference.nms(boxes, scores, iou, threshold, limit, class_ids)


def test_nms_refuses_shapes_that_do_not_match():
    with pytest.raises(ValueError, match="same length"):
        ara2.nms(np.zeros((3, 4)), np.zeros(2))
    with pytest.raises(ValueError, match="N x 4"):
        ara2.nms(np.zeros((3, 5)), np.zeros(3))
    assert ara2.nms(np.zeros((0, 4)), np.zeros(0)).tolist() == []


def reference_decode(boxes, scores, boxes_quant, scores_quant, threshold, iou, geometry):
    """Dequantise everything, best class per box, threshold, corners, per-class nms, back to the frame."""
    b = (boxes.astype(np.int32) - boxes_quant.offset).astype(np.float32) * np.float32(boxes_quant.qn)
    s = (scores.astype(np.int32) - scores_quant.offset).astype(np.float32) * np.float32(scores_quant.qn)
    classes = s.argmax(1)
    best = s[np.arange(len(s)), classes]
    keep = np.flatnonzero(best > threshold)
    half = b[keep, 2:] * np.float32(0.5)
    corners = np.hstack([b[keep, :2] - half, b[keep, :2] + half])
    kept = reference.nms(corners, best[keep], iou, threshold, 300, classes[keep])
    return geometry.to_source(corners[kept]), best[keep][kept], classes[keep][kept]


@pytest.mark.parametrize("signed", [False, True])
def test_decode_detections_equals_dequantise_then_suppress(open_model, signed):
    model = open_model(image_description(width=64, height=64, aspect_resize=True))
    geometry = model.set_input_image(0, frame(61, 17))
    rng = np.random.default_rng(3)
    n, classes = 2000, 11
    dtype = np.int8 if signed else np.uint8
    low = -128 if signed else 0
    # As a detector lays them out: channels first, (4, N) and (classes, N).
    boxes = np.vstack([rng.integers(low + 20, low + 220, (2, n)), rng.integers(low + 2, low + 40, (2, n))]).astype(dtype)
    scores = rng.integers(low, low + 256, (classes, n)).astype(dtype)
    quant = type("Quant", (), {"qn": 0.25, "offset": low})()
    score_quant = type("Quant", (), {"qn": 1 / 255, "offset": low})()
    got = ara2.decode_detections(boxes.T, scores.T, boxes_quant=quant, scores_quant=score_quant,
                                 score_threshold=0.97, iou_threshold=0.5, geometry=geometry)
    want = reference_decode(boxes.T, scores.T, quant, score_quant, 0.97, 0.5, geometry)
    assert len(got[0]) > 5
    np.testing.assert_array_equal(got[2], want[2])
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_allclose(got[0], want[0], rtol=1e-6)
    # The same values as float32, corners, no geometry: the same detections in model pixels.
    floats = ara2.decode_detections(
        (boxes.T.astype(np.int32) - low).astype(np.float32) * 0.25,
        (scores.T.astype(np.int32) - low).astype(np.float32) / np.float32(255), score_threshold=0.97,
        iou_threshold=0.5)
    np.testing.assert_array_equal(floats[2], got[2])


def test_decode_detections_refusals():
    with pytest.raises(ValueError, match="uint8 or int8"):
        ara2.decode_detections(np.zeros((3, 4), np.float32), np.zeros((3, 2), np.float32),
                               scores_quant=type("Q", (), {"qn": 1.0, "offset": 0})())
    with pytest.raises(ValueError, match="4 columns"):
        ara2.decode_detections(np.zeros((3, 5)), np.zeros((3, 2)))
    with pytest.raises(ValueError, match="one row per box"):
        ara2.decode_detections(np.zeros((3, 4)), np.zeros((2, 2)))
    with pytest.raises(ValueError, match="need the geometry"):
        ara2.decode_detections(np.zeros((3, 4)), np.zeros((3, 2)), normalized=True)


def output_spec(emulated_model, **fields):
    """The OutputSpec of output 0 as a model file's metadata describes it."""
    path = emulated_model({
        "inputs": [{"shape": [1, 1, 4]}], "outputs": [{"shape": [1, 1, 4]}], "program": {"ops": []},
        "metadata": {"outputs": [{"index": 0, "name": "boxes", **fields}]},
    }, name="described")
    return ara2.read_metadata(path).outputs[0]


def test_decode_follows_what_the_metadata_says(emulated_model):
    boxes = np.array([[10, 10, 20, 20], [11, 10, 21, 20]], np.float32)  # corners
    logits = np.array([[2.0, -1.0], [1.0, -3.0]], np.float32)
    spec = output_spec(emulated_model, encoding="xyxy", score_format="logits")
    # The arguments say centre and size, probabilities: the metadata wins.
    found, scores, classes = ara2.decode_detections(boxes, logits, box_format="xywh", sigmoid=False,
                                                    score_threshold=0.5, metadata=spec)
    assert found.tolist() == [[10, 10, 20, 20]] and classes.tolist() == [0]
    assert scores[0] == pytest.approx(1 / (1 + np.exp(-2.0)))
    # Silent metadata leaves the arguments in charge.
    silent = output_spec(emulated_model)
    found, _, _ = ara2.decode_detections(boxes, logits, box_format="xywh", score_threshold=0.5, metadata=silent)
    assert found.tolist()[0] == [0, 0, 20, 20]


@pytest.mark.parametrize("fields, match", [
    ({"encoding": "polar"}, "box encoding 'polar' is not one this decoder knows"),
    ({"score_format": "percent"}, "score format 'percent'"),
    ({"normalized": True}, "need the geometry"),
])
def test_metadata_the_decoder_cannot_follow_is_refused(emulated_model, fields, match):
    with pytest.raises(ValueError, match=match):
        ara2.decode_detections(np.zeros((1, 4)), np.zeros((1, 1)), metadata=output_spec(emulated_model, **fields))
    with pytest.raises(TypeError, match="OutputSpec"):
        ara2.decode_detections(np.zeros((1, 4)), np.zeros((1, 1)), metadata={"encoding": "xyxy"})
