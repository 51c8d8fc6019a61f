"""`ara2 inspect MODEL.dvm`: what the file says on its own, and with a proxy
at hand, the model's input and output descriptions once loaded."""
from __future__ import annotations

import argparse
import os
import zipfile

import tallowind_ara2 as ara2

from .common import (CliError, Document, add_connection_options, connect_if_possible, describe, model_file,
                     natural, plain, render_tree, select_endpoints, size_text, step, text_value)
from .tensors import describe_inputs, describe_outputs

HELP = "show a model's metadata, labels and tensor descriptions"


DESCRIPTION = (f"{HELP.capitalize()}. Metadata and labels are read from the file alone; the input and output "
               "descriptions need the model loaded on an endpoint, so they are shown when a proxy is reachable "
               "(a proxy named with --socket, --tcp, --config or $ARA2_SOCKET must be).")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", metavar="MODEL.dvm", help="the compiled model file")
    parser.add_argument("--endpoint", type=natural, default=0, metavar="N",
                        help="endpoint to load the model on (default: 0)")
    parser.add_argument("--no-device", action="store_true", help="only read the file; contact no proxy")
    add_connection_options(parser)


def _loaded(args: argparse.Namespace, load_path: str) -> tuple[Document | None, str | None]:
    """The descriptions of the loaded model, or None and why there are none."""
    if args.no_device:
        return None, "not asked for (--no-device)"
    connection = connect_if_possible(args)
    if connection is None:
        return None, "no proxy found; the input and output descriptions need one"
    with connection.session:
        [(index, endpoint)] = select_endpoints(connection.session, [args.endpoint])
        try:
            model = endpoint.load_model(load_path)
        except ara2.Ara2Error as error:
            raise CliError(f"loading {args.model} on endpoint {index}: {describe(error)} (--no-device shows what "
                           "the file says without loading it)") from error
        with model, step("reading the tensor descriptions"):
            return {"address": connection.address, "endpoint": index, "inputs": describe_inputs(model),
                    "outputs": describe_outputs(model)}, None


def execute(args: argparse.Namespace) -> tuple[Document, int]:
    path = args.model
    load_path = model_file(path)
    with step(f"reading {path}"):
        file: Document = {"path": path, "size": os.path.getsize(path), "archive": zipfile.is_zipfile(path),
                          "has_metadata": ara2.has_metadata(path)}
        labels = ara2.read_labels(path)
        metadata = plain(ara2.read_metadata(path))
    device, note = _loaded(args, load_path)
    return {"file": file, "labels": labels, "metadata": metadata, "device": device, "device_note": note}, 0


def tensor_line(kind: str, tensor: Document) -> str:
    quant = tensor["quant"]
    sign = "signed" if quant["is_signed"] else "unsigned"
    line = (f"  {kind} {tensor['index']}: {tensor['layer_name']!r}  {'x'.join(map(str, tensor['shape']))}"
            f"  {tensor['layout']}  bpp {tensor['bpp']}  size {tensor['size']}")
    if kind == "input":
        line += f"  ({tensor['bytes']} bytes per --input)  qn {text_value(quant['qn'])} offset {quant['offset']}" \
                f" {sign} qmode {quant['qmode']}"
    else:
        line += f"  {tensor['dtype'] or '?'}  qn {text_value(quant['qn'])} offset {quant['offset']} {sign}" \
                f"  {tensor['layer_output_type']}"
        if tensor["num_classes"]:
            line += f" ({tensor['num_classes']} classes)"
    return line


def render(document: Document) -> list[str]:
    file = document["file"]
    lines = [f"file: {file['path']} ({size_text(file['size'])}), archive: {'yes' if file['archive'] else 'no'}, "
             f"metadata: {'yes' if file['has_metadata'] else 'no'}",
             f"labels: {', '.join(document['labels']) or '-'}"]
    if document["metadata"] is not None:
        lines.append("metadata:")
        lines.extend(render_tree(document["metadata"]))
    device = document["device"]
    if device is None:
        lines.append(f"tensors: {document['device_note']}")
    else:
        lines.append(f"tensors, loaded on endpoint {device['endpoint']} via {device['address']}:")
        lines.extend(tensor_line("input", tensor) for tensor in device["inputs"])
        lines.extend(tensor_line("output", tensor) for tensor in device["outputs"])
    return lines
