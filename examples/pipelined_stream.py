"""Classifying a stream of frames with a pipeline over several endpoints.

`tallowind_ara2.Pipeline` loads the colour classifier once on each endpoint
and keeps `--requests` requests in flight on each (every request on a tensor
set of its own). Frames, noisy solid-colour images made here, go in with
`put()` while earlier ones are still running; results come back in the order
the frames were put, each with the user data given with its frame. Every
result is then checked against `Model.run()` on the same frame.

    ara2-emu-model colour_classifier.yaml -o colour_classifier.dvm
    ara2-emulator run --endpoints 2 -- python pipelined_stream.py colour_classifier.dvm --frames 1000

Uses every endpoint of the proxy (--endpoints N: the first N). Prints the
pipeline's endpoints and capacity, the first frames as
`frame N (COLOUR) -> LABEL on endpoint E`, the frames each endpoint ran,
the throughput, and last `N of N frames match run()`; exit status 0 when
every frame matches and got the colour it was made of.
"""
from __future__ import annotations

import argparse
import collections
import pathlib
import sys
import time

import numpy as np

import tallowind_ara2 as ara2

COLOURS = {"red": (200, 20, 40), "green": (40, 210, 30), "blue": (20, 40, 170)}
SHOWN = 6


def make_frames(count: int, seed: int) -> list[tuple[str, np.ndarray]]:
    """(colour name, CHW uint8 image) per frame: a colour with noise on it."""
    rng = np.random.default_rng(seed)
    names = list(COLOURS)
    frames = []
    for _ in range(count):
        name = names[rng.integers(len(names))]
        noisy = np.array(COLOURS[name]).reshape(3, 1, 1) + rng.normal(0, 20, (3, 32, 32))
        frames.append((name, np.clip(noisy, 0, 255).astype(np.uint8)))
    return frames


def run_outputs(endpoint: ara2.Endpoint, model_path: pathlib.Path, frames) -> list[list[np.ndarray]]:
    """What run() gives for each frame, one frame at a time."""
    with endpoint.load_model(model_path) as model:
        model.allocate_tensors()
        outputs = []
        for _, image in frames:
            model.set_input_tensor(0, image)
            model.run()
            outputs.append([model.get_output_tensor(i) for i in range(model.n_outputs)])
        return outputs


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", type=pathlib.Path, help="the colour classifier .dvm file")
    parser.add_argument("--frames", type=int, default=1000, help="frames in the stream (default: 1000)")
    parser.add_argument("--endpoints", type=int, help="use the first N endpoints (default: all)")
    parser.add_argument("--requests", type=int, default=2, help="requests in flight per endpoint (default: 2)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the frames' noise")
    args = parser.parse_args(argv)
    model_path = args.model.resolve()
    labels = ara2.read_labels(model_path)
    frames = make_frames(args.frames, args.seed)
    per_endpoint: collections.Counter[int] = collections.Counter()
    matched = correct = 0
    with ara2.Session.connect() as session:
        endpoints = session.list_endpoints()[:args.endpoints]
        with ara2.Pipeline.open(endpoints, model_path, requests=args.requests) as pipeline:
            print(f"pipeline over {len(endpoints)} endpoint(s), {pipeline.capacity} frames in flight at most")
            start = time.perf_counter()
            for name, image in frames:
                pipeline.put(image, userdata=name)  # collects the oldest frame first when every set is busy
            results = list(pipeline)  # in the order put, waiting for the frames still in flight
            elapsed = time.perf_counter() - start
        expected = run_outputs(endpoints[0], model_path, frames)
    for result, reference in zip(results, expected):
        if result.error is not None:
            print(f"frame {result.index} failed: {result.error}")
            continue
        label = labels[int(result.outputs[1].ravel()[0])]
        if result.index < SHOWN:
            print(f"frame {result.index} ({result.userdata}) -> {label} on endpoint {result.endpoint}")
        per_endpoint[result.endpoint] += 1
        matched += all(np.array_equal(got, want) for got, want in zip(result.outputs, reference))
        correct += label == result.userdata
    for position in range(len(endpoints)):
        print(f"endpoint {position}: {per_endpoint[position]} frames")
    print(f"{len(results)} frames in {elapsed:.3f} s ({len(results) / elapsed:,.0f} frames/s); "
          f"{correct} classified as the colour they were made of")
    print(f"{matched} of {len(frames)} frames match run()")
    return 0 if matched == correct == len(frames) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
