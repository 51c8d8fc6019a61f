"""Where the benchmark's inferences run: one slot per request that may be in
flight, each with its own input and output tensors.

A model has one set of tensors, so requests in flight at the same time must
not share a model: every slot loads the model again (slots go round-robin
over the chosen endpoints). Only this module knows that; when a model can
hold several tensor sets, slots become tensor sets of fewer models.
"""
from __future__ import annotations

from typing import Callable, Sequence

import tallowind_ara2 as ara2

from .common import step


class Slots:
    """`count` loaded models with allocated tensors; close() unloads them all."""

    def __init__(self, endpoints: Sequence[tuple[int, ara2.Endpoint]], model_path: str, count: int,
                 prepare: Callable[[ara2.Model], None]) -> None:
        self.models: list[ara2.Model] = []
        self.endpoint_of: list[int] = []
        try:
            for slot in range(count):
                index, endpoint = endpoints[slot % len(endpoints)]
                with step(f"loading {model_path} on endpoint {index} (slot {slot})"):
                    self.models.append(endpoint.load_model(model_path))
                self.endpoint_of.append(index)
                prepare(self.models[-1])
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        for model in reversed(self.models):
            model.close()

    def __enter__(self) -> Slots:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
