"""`ara2 run MODEL.dvm --input FILE...`: one inference, its outputs saved as
.npy files, the top classes of a classifier, and the timing."""
from __future__ import annotations

import argparse
import os
import pathlib
import time

import numpy as np
from numpy.typing import NDArray

import tallowind_ara2 as ara2

from .common import (CliError, Document, add_connection_options, model_file, connect, natural,
                     select_endpoints, step, text_value)
from .images import Color, detections, geometry_document, read_image
from .tensors import InputData, fill_inputs, load_inputs, save_output, top_k

HELP = "run one inference and save its outputs"
MEMORY_KINDS = ("dma", "shm", "mem")


def add_model_options(parser: argparse.ArgumentParser, inputs_required: bool) -> None:
    """Options `run` and `bench` share: the model, its inputs, tensors and timeout."""
    parser.add_argument("model", metavar="MODEL.dvm", help="the compiled model file")
    source = parser.add_mutually_exclusive_group(required=inputs_required)
    source.add_argument("--input", nargs="+", action="extend", metavar="FILE",
                        help="one file per model input, in order: a .npy array or raw bytes; its byte count must "
                             "be the input's (see `ara2 inspect`)")
    source.add_argument("--random", action="store_true", help="fill the inputs with random bytes")
    source.add_argument("--image", metavar="FILE",
                        help="an image for the model's one input, prepared as the model describes it (resized, "
                             "cropped or letterboxed, normalised, quantised): a picture file (decoded by Pillow or "
                             "OpenCV, whichever is installed) or a .npy uint8 array of height x width x 3")
    parser.add_argument("--color", choices=("bgr", "rgb"),
                        help="channel order of a .npy --image (default: bgr; decoded pictures know theirs)")
    parser.add_argument("--seed", type=natural, default=0, help="seed of --random (default: 0)")
    parser.add_argument("--memory", choices=MEMORY_KINDS,
                        help="tensor memory (default: DMA-BUF where available, else heap)")
    parser.add_argument("--timeout-ms", type=natural, default=None, metavar="MS",
                        help="timeout of run() (default: the module's, 1000)")


DESCRIPTION = (f"{HELP.capitalize()}. Each output is written as MODEL.outputN.npy (and, with --dequantize, "
               "MODEL.outputN.float32.npy); a classifier whose file carries labels also gets its top classes, and "
               "with --image a detector (a boxes and a class-scores detection output) its detections, in the "
               "image's pixels.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_model_options(parser, inputs_required=True)
    parser.add_argument("--endpoint", type=natural, default=0, metavar="N",
                        help="endpoint to run on (default: 0)")
    parser.add_argument("-o", "--output-dir", default=".", metavar="DIR",
                        help="where the output files go (default: the current directory)")
    parser.add_argument("--dequantize", action="store_true",
                        help="also save the outputs dequantised to float32")
    parser.add_argument("--top-k", type=natural, default=5, metavar="K",
                        help="classes to show for a classifier with labels, detections for a detector (default: "
                             "5; 0: none)")
    add_connection_options(parser)


def prepare(model: ara2.Model, args: argparse.Namespace, allocate: bool = True) -> None:
    """Tensors allocated as asked (unless the caller brings tensor sets of
    its own) and the timeout set, on a model just loaded."""
    if allocate:
        with step("allocating tensors"):
            model.allocate_tensors(args.memory)
    if args.timeout_ms is not None:
        model.set_timeout_ms(args.timeout_ms)


def execute(args: argparse.Namespace) -> tuple[Document, int]:
    path = args.model
    load_path = model_file(path)
    with step(f"reading the labels of {path}"):
        labels = ara2.read_labels(path)
    connection = connect(args)
    with connection.session:
        [(index, endpoint)] = select_endpoints(connection.session, [args.endpoint])
        with step(f"loading {path} on endpoint {index}"):
            model = endpoint.load_model(load_path)
        with model:
            image: NDArray[np.uint8] | None = None
            color: Color = "bgr"
            inputs: list[InputData] = []
            if args.image is not None:
                if model.n_inputs != 1:
                    raise CliError(f"--image fills models of one input; {path} has {model.n_inputs}")
                image, color = read_image(args.image, args.color)
            else:
                inputs = load_inputs(model, args.input, args.seed)
            prepare(model, args)
            with step("writing the inputs"):
                fill_inputs(model, inputs)
                geometry = model.set_input_image(0, image, color=color) if image is not None else None
            with step("running the model"):
                start = time.perf_counter_ns()
                timing = model.run()
                elapsed_ns = time.perf_counter_ns() - start
            os.makedirs(args.output_dir, exist_ok=True)
            stem = pathlib.Path(path).stem
            with step(f"saving the outputs in {args.output_dir}"):
                outputs = [save_output(model, i, args.output_dir, stem, args.dequantize)
                           for i in range(model.n_outputs)]
                best = top_k(model, labels, args.top_k)
                found = (detections(model, path, labels, geometry, args.top_k)
                         if geometry is not None and args.top_k else None)
            memory = model.input_tensor_memory(0) if model.n_inputs else None
    return {"model": path, "address": connection.address, "endpoint": index, "memory": memory,
            "inputs": [{"index": i, "source": data.source, "bytes": data.array.nbytes}
                       for i, data in enumerate(inputs)],
            "timing": {"run_time_us": timing.run_time_us, "input_time_us": timing.input_time_us,
                       "output_time_us": timing.output_time_us, "call_us": elapsed_ns / 1000},
            "image": None if image is None or geometry is None else {
                "file": args.image, "height": image.shape[0], "width": image.shape[1],
                **geometry_document(geometry)},
            "outputs": outputs, "top_k": best, "detections": found}, 0


def render(document: Document) -> list[str]:
    lines = [f"ran {document['model']} on endpoint {document['endpoint']} via {document['address']}"
             f" (tensors {document['memory'] or '-'})"]
    lines.extend(f"input {data['index']}: {data['source']} ({data['bytes']} bytes)" for data in document["inputs"])
    image = document["image"]
    if image is not None:
        lines.append(f"input 0: image {image['file']} ({image['width']}x{image['height']}), scaled "
                     f"{image['scale'][0]:.4g} x {image['scale'][1]:.4g}, offset {image['offset'][0]:g}, "
                     f"{image['offset'][1]:g}{', mirrored' if image['mirrored'] else ''}")
    timing = document["timing"]
    lines.append(f"timing: run {timing['run_time_us']} us, input {timing['input_time_us']} us, output "
                 f"{timing['output_time_us']} us on the device; the call took {timing['call_us']:.1f} us")
    for output in document["outputs"]:
        files = ", ".join(f for f in (output["file"], output["dequantized_file"]) if f)
        lines.append(f"output {output['index']} {output['name']!r}: {output['dtype']} "
                     f"{'x'.join(map(str, output['shape']))}, min {output['min']} max {output['max']} -> {files}")
    best = document["top_k"]
    if best is not None:
        lines.append(f"top {len(best['classes'])} (output {best['output']}"
                     f"{', dequantized' if best['dequantized'] else ''}):")
        width = max(len(c["label"]) for c in best["classes"])
        lines.extend(f"  {rank}. {c['label']:<{width}}  {text_value(c['score'])}  (class {c['index']})"
                     for rank, c in enumerate(best["classes"], 1))
    found = document["detections"]
    if found is not None:
        lines.append(f"{len(found['detections'])} detection(s) (outputs {found['outputs'][0]} and "
                     f"{found['outputs'][1]}), boxes in image pixels:")
        lines.extend(f"  {d['label'] or 'class ' + str(d['class'])}  {text_value(d['score'])}  "
                     f"({', '.join(f'{v:.1f}' for v in d['box'])})" for d in found["detections"])
    return lines
