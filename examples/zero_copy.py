"""Zero-copy input and output through the tensors' file descriptors.

With DMA-BUF ("dma") or shared-memory ("shm") tensors, `Model.input_tensor_fd`
and `Model.output_tensor_fd` hand out a new descriptor of the tensor's
memory. Mapped once with mmap, that memory is the model's input: an image is
written straight into it (no `set_input_tensor` copy), and the outputs are
read straight from the output tensors. Each descriptor belongs to the
caller, who closes it when done. CPU access to a DMA-BUF is bracketed by the
kernel's DMA_BUF_IOCTL_SYNC calls on its descriptor, so that the device and
the CPU see the same bytes; shared memory needs no such calls.

    ara2-emu-model colour_classifier.yaml -o colour_classifier.dvm
    ara2-emulator run -- python zero_copy.py colour_classifier.dvm

Tries "dma" first and falls back to "shm" (--memory chooses one). Prints the
memory kind, then for each of three colours:
`COLOUR: wrote N bytes through the input descriptor -> LABEL (scores ...)`,
and whether `get_output_tensor` agrees with the bytes read through the
descriptors; exit status 0 when every colour got its label.
"""
from __future__ import annotations

import argparse
import contextlib
import fcntl
import mmap
import os
import pathlib
import struct
import sys

import numpy as np

import tallowind_ara2 as ara2

COLOURS = {"red": (200, 20, 40), "green": (40, 210, 30), "blue": (20, 40, 170)}

# <linux/dma-buf.h>: DMA_BUF_IOCTL_SYNC = _IOW('b', 0, struct dma_buf_sync { __u64 flags; })
DMA_BUF_IOCTL_SYNC = 0x40086200
SYNC_READ, SYNC_WRITE, SYNC_START, SYNC_END = 1, 2, 0, 4


class TensorView:
    """One tensor's descriptor (ours: closed by close()) and its mapping."""

    def __init__(self, fd: int, size: int, memory: str) -> None:
        self.fd, self.memory = fd, memory
        try:
            self.map = mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
        except OSError:
            os.close(fd)
            raise

    @contextlib.contextmanager
    def cpu_access(self, direction: int):
        """Brackets CPU access to a DMA-BUF; shared memory needs nothing."""
        if self.memory == "dma":
            fcntl.ioctl(self.fd, DMA_BUF_IOCTL_SYNC, struct.pack("Q", SYNC_START | direction))
        try:
            yield
        finally:
            if self.memory == "dma":
                fcntl.ioctl(self.fd, DMA_BUF_IOCTL_SYNC, struct.pack("Q", SYNC_END | direction))

    def close(self) -> None:
        self.map.close()
        os.close(self.fd)


def allocate(model: ara2.Model, choices: list[str]) -> str:
    for memory in choices:
        try:
            model.allocate_tensors(memory)
            return memory
        except ara2.TensorError as exc:
            print(f"{memory!r} tensors are not available here: {exc}")
    raise SystemExit("no descriptor-backed tensor memory on this host")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", type=pathlib.Path, help="the colour classifier .dvm file")
    parser.add_argument("--memory", choices=["dma", "shm"], help="tensor memory (default: dma, else shm)")
    args = parser.parse_args(argv)
    model_path = args.model.resolve()
    labels = ara2.read_labels(model_path)
    agree = correct = 0
    with ara2.Session.connect() as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            memory = allocate(model, [args.memory] if args.memory else ["dma", "shm"])
            print(f"tensors: {memory}")
            shape = model.input_shape(0)
            source = TensorView(model.input_tensor_fd(0), int(np.prod(shape)), memory)
            results = [TensorView(model.output_tensor_fd(i), model.output_size(i), memory)
                       for i in range(model.n_outputs)]
            # Typed windows onto the mappings (scores are int8, the class id uint8).
            image = np.frombuffer(source.map, np.uint8).reshape(shape)
            scores = np.frombuffer(results[0].map, np.int8)
            class_id = np.frombuffer(results[1].map, np.uint8)
            for name, rgb in COLOURS.items():
                with source.cpu_access(SYNC_WRITE):
                    image[:] = np.array(rgb, np.uint8).reshape(3, 1, 1)
                model.run()
                with results[0].cpu_access(SYNC_READ), results[1].cpu_access(SYNC_READ):
                    found, raw = labels[int(class_id[0])], scores.copy()
                agree += np.array_equal(raw, model.get_output_tensor(0).ravel())
                correct += found == name
                print(f"{name}: wrote {image.nbytes} bytes through the input descriptor -> {found} "
                      f"(scores {raw.tolist()})")
            del image, scores, class_id  # no array may point into a mapping that is closed
            for view in [source, *results]:
                view.close()
    print(f"get_output_tensor agrees with the descriptors: {agree} of {len(COLOURS)}")
    return 0 if correct == agree == len(COLOURS) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
