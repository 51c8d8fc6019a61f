"""Where the benchmark's inferences run: the model loaded once on each chosen
endpoint, and the tensors each request uses.

run() in turn on each model uses the models' own tensors. Requests in flight
at the same time must not share tensors (a pending request's inputs cannot be
written, and its outputs would be overwritten), so with requests in flight
each gets a tensor set of its own, made round-robin on the models.
"""
from __future__ import annotations

from typing import Callable, Literal, Protocol, Sequence

import numpy as np
from numpy.typing import NDArray

import tallowind_ara2 as ara2

from .common import step


class Tensors(Protocol):
    """A model's own tensors, or a further tensor set of a model."""

    def set_input_tensor(self, index: int, data: np.ndarray) -> None: ...
    def set_input_image(self, index: int, image: NDArray[np.uint8],
                        color: Literal["bgr", "rgb"] = "bgr") -> ara2.Geometry: ...
    def run(self) -> ara2.ModelTiming: ...
    def submit(self) -> ara2.InferRequest: ...
    def close(self) -> None: ...


class Slots:
    """One loaded model per endpoint, prepared by `prepare`, and `tensors`:
    the models themselves, or `requests` tensor sets in `memory` when given;
    close() releases them all."""

    def __init__(self, endpoints: Sequence[tuple[int, ara2.Endpoint]], model_path: str,
                 prepare: Callable[[ara2.Model], None], requests: int | None = None,
                 memory: Literal["dma", "shm", "mem"] | None = None) -> None:
        self.models: list[ara2.Model] = []
        self.sets: list[Tensors] = []
        self.tensors: list[Tensors] = []
        try:
            for index, endpoint in endpoints:
                with step(f"loading {model_path} on endpoint {index}"):
                    self.models.append(endpoint.load_model(model_path))
                prepare(self.models[-1])
            for slot in range(requests or 0):
                with step(f"allocating the tensors of request {slot}"):
                    self.sets.append(self.models[slot % len(self.models)].create_tensor_set(memory))
            self.tensors = list(self.models) if requests is None else list(self.sets)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        for tensors in reversed(self.sets):
            tensors.close()
        for model in reversed(self.models):
            model.close()

    def __enter__(self) -> Slots:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
