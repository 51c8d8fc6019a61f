"""An application of tallowind_ara2: names the colour of a few solid images
with a colour classifier model. With the emulator (pip users):

    ara2-emu-model colour_classifier.yaml -o colour_classifier.dvm
    ara2-emulator run -- python classify.py colour_classifier.dvm

It connects the way any application does, `Session.connect()`, so it runs
unchanged on a real ARA-2 host. test_classify.py tests it under pytest.
"""
from __future__ import annotations

import sys

import numpy as np

import tallowind_ara2 as ara2

COLOURS = {"red": (200, 20, 40), "green": (40, 210, 30), "blue": (20, 40, 170)}


def classify(model_path: str, colours: dict[str, tuple[int, int, int]] = COLOURS) -> dict[str, str]:
    """The label the model gives each colour."""
    labels = ara2.read_labels(model_path)
    found = {}
    with ara2.Session.connect() as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            model.allocate_tensors()
            channels, height, width = model.input_shape(0)
            for name, rgb in colours.items():
                image = np.empty((channels, height, width), np.uint8)
                image[:] = np.array(rgb, np.uint8).reshape(channels, 1, 1)
                model.set_input_tensor(0, image)
                model.run()
                found[name] = labels[int(model.get_output_tensor(1).ravel()[0])]
    return found


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print("usage: classify.py MODEL.dvm", file=sys.stderr)
        return 2
    for name, label in classify(argv[0]).items():
        print(f"{name} -> {label}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
