"""Input data for `run` and `bench` (files or random bytes, checked against
the model before anything runs) and the model's outputs as reports."""
from __future__ import annotations

import math
import os
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import tallowind_ara2 as ara2

from .common import CliError, Document, output_dtype, plain
from .slots import Tensors

NPY_MAGIC = b"\x93NUMPY"


@dataclass
class InputData:
    array: NDArray[np.generic]
    source: str  # the file, or "random"


def input_bytes(model: ara2.Model, index: int) -> int:
    """What set_input_tensor() takes for this input: one byte per element."""
    return math.prod(model.input_shape(index))


def input_name(model: ara2.Model, index: int) -> str:
    return model.input_info(index).layer_name


def read_input(path: str) -> NDArray[np.generic]:
    """A .npy file (recognised by its magic, whatever its name) as its array,
    any other file as its raw bytes."""
    try:
        with open(path, "rb") as file:
            is_npy = file.read(len(NPY_MAGIC)) == NPY_MAGIC
        if is_npy:
            array: NDArray[np.generic] = np.load(path, allow_pickle=False)
            return array
        return np.fromfile(path, dtype=np.uint8)
    except (OSError, ValueError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise CliError(f"cannot read input {path}: {reason}") from error


def load_inputs(model: ara2.Model, paths: list[str] | None, seed: int) -> list[InputData]:
    """One array per model input, from `paths` or random; every size is
    checked, and the error names the input, what it takes and what was given."""
    count = model.n_inputs
    if paths is None:
        rng = np.random.default_rng(seed)
        return [InputData(rng.integers(0, 256, input_bytes(model, i), dtype=np.uint8), "random")
                for i in range(count)]
    if len(paths) != count:
        raise CliError(f"the model has {count} input(s) but {len(paths)} --input file(s) were given")
    inputs = [InputData(read_input(path), path) for path in paths]
    for index, data in enumerate(inputs):
        expected, given = input_bytes(model, index), data.array.nbytes
        if expected != given:
            shape = "x".join(map(str, model.input_shape(index)))
            raise CliError(f"input {index} ({input_name(model, index)}) takes {expected} bytes ({shape}, one byte "
                           f"per element) but {data.source} holds {given} bytes ({data.array.dtype} array of shape "
                           f"{tuple(data.array.shape)})")
    return inputs


def fill_inputs(tensors: Tensors, inputs: list[InputData]) -> None:
    for index, data in enumerate(inputs):
        tensors.set_input_tensor(index, data.array)


def describe_inputs(model: ara2.Model) -> list[Document]:
    """Input descriptions for reports: every field of input_info() plus the
    shape and the bytes an input file must hold."""
    return [{"index": i, "shape": list(model.input_shape(i)), "bytes": input_bytes(model, i),
             **plain(model.input_info(i))} for i in range(model.n_inputs)]


def describe_outputs(model: ara2.Model) -> list[Document]:
    described = []
    for i in range(model.n_outputs):
        info = model.output_info(i)
        described.append({"index": i, "shape": list(model.output_shape(i)),
                          "dtype": output_dtype(info.bpp, info.quant.is_signed), **plain(info)})
    return described


def can_dequantize(model: ara2.Model, index: int) -> bool:
    """dequantize() handles 1- and 2-byte outputs of qmode-9 models; anything
    else (a float32 output, say) is reported as is."""
    return model.output_bpp(index) in (1, 2) and model.n_inputs > 0 and model.input_quants(0).qmode == 9


def top_k(model: ara2.Model, labels: list[str], k: int) -> Document | None:
    """The k best classes of the first classification output with one element
    per label, scored dequantised when the output allows it."""
    if not labels or k <= 0:
        return None
    for index in range(model.n_outputs):
        info = model.output_info(index)
        if info.layer_output_type != ara2.ModelOutputType.Classification:
            continue
        if math.prod(model.output_shape(index)) != len(labels):
            continue
        dequantized = can_dequantize(model, index)
        scores = model.dequantize(index) if dequantized else model.get_output_tensor(index)
        return {"output": index, "dequantized": dequantized,
                "classes": [{"index": c, "label": label, "score": plain(score)}
                            for c, label, score in ara2.top_k(scores, k, labels)]}
    return None


def save_output(model: ara2.Model, index: int, directory: str, stem: str, dequantize: bool) -> Document:
    """Writes output `index` as .npy (and its float32 form when asked and
    possible); returns what was written and a short summary of the values."""
    raw = model.get_output_tensor(index)
    report: Document = {"index": index, "name": model.output_info(index).layer_name, "shape": list(raw.shape),
                        "dtype": str(raw.dtype), "min": None, "max": None, "file": None,
                        "dequantized_file": None}
    if raw.size:
        report["min"], report["max"] = plain(raw.min().item()), plain(raw.max().item())
    report["file"] = os.path.join(directory, f"{stem}.output{index}.npy")
    np.save(report["file"], raw)
    if dequantize and can_dequantize(model, index):
        report["dequantized_file"] = os.path.join(directory, f"{stem}.output{index}.float32.npy")
        np.save(report["dequantized_file"], model.dequantize(index))
    return report
