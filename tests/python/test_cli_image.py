"""ara2 run --image and ara2 bench --image: an image prepared as the model
describes it, the top classes of a classifier, the detections of a detector
in the image's pixels, and frames per second from frames."""
import numpy as np
import pytest

from fixtures.cli import CliResult  # noqa: F401  (the fixtures' result type)

BGR_RED = (40, 20, 200)


@pytest.fixture
def at(emulator):
    return ("--socket", emulator.socket_path)


@pytest.fixture
def red_frame(tmp_path):
    """A 50 x 70 BGR frame, red: any size, the model resizes it."""
    path = tmp_path / "red.npy"
    np.save(path, np.broadcast_to(np.array(BGR_RED, np.uint8), (50, 70, 3)).copy())
    return path


@pytest.fixture
def detector(emulated_model):
    """A 3 x 16 x 16 detector whose two boxes and their scores are the first
    bytes of its input (so of the image's blue plane): its outputs are what
    the image says."""
    return emulated_model({
        "inputs": [{"name": "images", "shape": [3, 16, 16]}],
        "outputs": [
            {"name": "boxes", "shape": [1, 2, 4], "layer_output_type": "detection"},
            {"name": "scores", "shape": [1, 2, 3], "qn": 1 / 255, "layer_output_type": "detection",
             "num_classes": 3},
        ],
        "program": {"ops": [
            {"op": "copy", "src": "input:0", "dst": "output:0", "length": 8},
            {"op": "copy", "src": "input:0", "dst": "output:1", "src_offset": 8, "length": 6},
        ]},
        "labels": ["cat", "dog", "bird"],
    }, name="detector")


def detector_frame(tmp_path):
    image = np.zeros((16, 16, 3), np.uint8)
    # (cx, cy, w, h) twice, almost the same box, then three scores each: the dog twice.
    image[0, :14, 0] = [8, 8, 4, 4, 9, 8, 4, 4, 10, 200, 30, 10, 180, 30]
    path = tmp_path / "frame.npy"
    np.save(path, image)
    return path


def test_run_classifies_an_image_of_any_size(colour_classifier_path, red_frame, at, ara2_command, tmp_path):
    result = ara2_command("run", colour_classifier_path, "--image", red_frame, *at, "-o", tmp_path, "--json")
    assert result.status == 0, result.err
    document = result.document
    assert document["top_k"]["classes"][0]["label"] == "red"
    assert document["image"]["width"] == 70 and document["image"]["scale"] == pytest.approx([32 / 70, 32 / 50])
    assert document["detections"] is None
    text = ara2_command("run", colour_classifier_path, "--image", red_frame, *at, "-o", tmp_path)
    assert "input 0: image" in text.out and "1. red" in text.out


def test_an_rgb_array_is_read_as_rgb(colour_classifier_path, tmp_path, at, ara2_command):
    path = tmp_path / "rgb.npy"
    np.save(path, np.broadcast_to(np.array(BGR_RED[::-1], np.uint8), (8, 8, 3)).copy())
    result = ara2_command("run", colour_classifier_path, "--image", path, "--color", "rgb", *at, "-o", tmp_path,
                          "--json")
    assert result.document["top_k"]["classes"][0]["label"] == "red"


def test_run_prints_the_detections_in_image_pixels(detector, at, ara2_command, tmp_path):
    result = ara2_command("run", detector, "--image", detector_frame(tmp_path), *at, "-o", tmp_path, "--json")
    assert result.status == 0, result.err
    [found] = result.document["detections"]["detections"]
    assert found["label"] == "dog" and found["score"] == pytest.approx(200 / 255)
    assert found["box"] == [6.0, 6.0, 10.0, 10.0]
    text = ara2_command("run", detector, "--image", detector_frame(tmp_path), *at, "-o", tmp_path)
    assert "1 detection(s)" in text.out and "dog" in text.out


def test_images_that_cannot_be_read_fail_in_one_line(colour_classifier_path, at, ara2_command, tmp_path):
    floats = tmp_path / "floats.npy"
    np.save(floats, np.zeros((4, 4, 3), np.float32))
    result = ara2_command("run", colour_classifier_path, "--image", floats, *at, "-o", tmp_path)
    assert result.status == 1 and "is a float32 array; images are uint8" in result.err
    missing = ara2_command("run", colour_classifier_path, "--image", tmp_path / "none.png", *at)
    assert missing.status == 1 and "cannot read image" in missing.err


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_bench_writes_the_image_before_every_inference(colour_classifier_path, red_frame, at, ara2_command,
                                                        mode):
    result = ara2_command("bench", colour_classifier_path, "--image", red_frame, "--mode", mode, "--iterations",
                          "20", "--warmup", "2", *at, "--json")
    assert result.status == 0, result.err
    assert result.document["count"] == 20 and result.document["image"] == str(red_frame)
