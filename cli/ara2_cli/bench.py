"""`ara2 bench MODEL.dvm`: throughput and latency of run(), or of submit()
and wait() with several requests in flight, with the device's own timings.

Ctrl-C ends the measurement: requests in flight are waited for, models and
session closed, and the report covers what completed (exit status 130).
"""
from __future__ import annotations

import argparse
import itertools
import sys
import time
from array import array
from collections import deque
from dataclasses import dataclass, field
from typing import Callable, Sequence, TextIO

import numpy as np

import tallowind_ara2 as ara2

from .common import (CliError, Document, UsageError, add_connection_options, model_file,
                     connect, natural, positive, select_endpoints, step, text_value)
from .run import add_model_options, prepare
from .slots import Slots, Tensors
from .images import read_image
from .tensors import fill_inputs, load_inputs

HELP = "measure throughput and latency"
DEFAULT_SECONDS = 5.0
DEFAULT_ASYNC_REQUESTS = 4
TICK_NS = 100_000_000  # how often the loops look at the clock's deadline and the progress bar
NEVER = 1 << 62
INTERRUPTED = 130  # 128 + SIGINT, as shells report a Ctrl-C


def endpoint_list(text: str) -> list[int] | None:
    """'all', or indexes separated by commas."""
    if text == "all":
        return None
    try:
        return [natural(part) for part in text.split(",")]
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"expected 'all' or endpoint indexes such as 0,1; got {text!r}") from None


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value < 1e9:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


DESCRIPTION = (f"{HELP.capitalize()} of a model, with random inputs unless --input is given; with --image every "
               "inference first writes the image into its tensors (set_input_image), so the figures are frames "
               "per second from frames. sync times run(); "
               "async keeps --requests requests in flight with submit() and wait(), each on its own tensor set, "
               "the model loaded once on each chosen endpoint. Ctrl-C stops early and reports what completed (exit "
               f"status {INTERRUPTED}).")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_model_options(parser, inputs_required=False)
    parser.add_argument("--mode", choices=("sync", "async"), default="sync", help="default: sync")
    parser.add_argument("--requests", type=positive, metavar="N",
                        help=f"requests in flight in async mode (default: {DEFAULT_ASYNC_REQUESTS})")
    parser.add_argument("--endpoints", type=endpoint_list, default=[0], metavar="LIST",
                        help="endpoints to use, e.g. 0,1, or all (default: 0)")
    limit = parser.add_mutually_exclusive_group()
    limit.add_argument("--time", type=seconds, metavar="SECONDS",
                       help=f"measure for this long (default: {DEFAULT_SECONDS:g})")
    limit.add_argument("--iterations", type=positive, metavar="N", help="measure this many inferences")
    parser.add_argument("--warmup", type=natural, default=10, metavar="N",
                        help="inferences run before measuring (default: 10)")
    parser.add_argument("--trace", metavar="FILE",
                        help="record a trace of the measured inferences to FILE (Chrome trace JSON: Perfetto, "
                             "chrome://tracing)")
    add_connection_options(parser)


# ---------------------------------------------------------------- measuring


@dataclass
class Limit:
    count: int = NEVER
    seconds: float | None = None

    def deadline(self, start_ns: int) -> int:
        return NEVER if self.seconds is None else start_ns + int(self.seconds * 1e9)


@dataclass
class Recorder:
    """Per inference: its latency as the host saw it and the device's timings."""
    latency_ns: array[int] = field(default_factory=lambda: array("q"))
    run_us: array[int] = field(default_factory=lambda: array("Q"))
    input_us: array[int] = field(default_factory=lambda: array("Q"))
    output_us: array[int] = field(default_factory=lambda: array("Q"))
    start_ns: int = 0
    end_ns: int = 0

    def add_timing(self, timing: ara2.ModelTiming) -> None:
        self.run_us.append(timing.run_time_us)
        self.input_us.append(timing.input_time_us)
        self.output_us.append(timing.output_time_us)


class Progress:
    """A one-line bar on a terminal, redrawn in place."""

    def __init__(self, stream: TextIO, limit: Limit) -> None:
        self.stream, self.limit = stream, limit

    def show(self, count: int, elapsed_ns: int) -> None:
        if self.limit.seconds is not None:
            fraction = elapsed_ns / 1e9 / self.limit.seconds
        else:
            fraction = count / self.limit.count
        fraction = min(max(fraction, 0.0), 1.0)
        rate = count / (elapsed_ns / 1e9) if elapsed_ns else 0.0
        bar = "#" * int(fraction * 30)
        self.stream.write(f"\rbench [{bar:<30}] {fraction:4.0%}  {count} inferences  {rate:,.0f}/s")
        self.stream.flush()

    def clear(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()


Feed = Callable[[Tensors], object]  # writes a frame into the tensors before each inference


def fed(tensors: Tensors, feed: Feed | None) -> Callable[[], ara2.ModelTiming]:
    """run() of `tensors`, after `feed` when there is one."""
    if feed is None:
        return tensors.run

    def run() -> ara2.ModelTiming:
        feed(tensors)
        return tensors.run()
    return run


def measure_sync(models: Sequence[Tensors], recorder: Recorder, limit: Limit,
                 progress: Progress | None = None, feed: Feed | None = None) -> None:
    """run() in turn on each model until the limit; the loop does no more
    than read the clock and append four numbers per inference (and call
    `feed` first when given)."""
    if limit.count <= 0:
        return
    clock = time.perf_counter_ns
    latency, run_us = recorder.latency_ns.append, recorder.run_us.append
    input_us, output_us = recorder.input_us.append, recorder.output_us.append
    count, max_count = 0, limit.count
    start = last = clock()
    deadline = limit.deadline(start)
    next_tick = min(deadline, start + TICK_NS)
    try:
        for run in itertools.cycle([fed(model, feed) for model in models]):
            timing = run()
            now = clock()
            latency(now - last)
            run_us(timing.run_time_us)
            input_us(timing.input_time_us)
            output_us(timing.output_time_us)
            last = now
            count += 1
            if count >= max_count or now >= next_tick:
                if count >= max_count or now >= deadline:
                    break
                if progress is not None:
                    progress.show(count, now - start)
                next_tick = min(deadline, now + TICK_NS)
    finally:
        recorder.start_ns, recorder.end_ns = start, last


def measure_async(models: Sequence[Tensors], recorder: Recorder, limit: Limit,
                  progress: Progress | None = None, feed: Feed | None = None, timeout_ms: int = 1000) -> None:
    """One request in flight per tensor set: wait for the oldest, resubmit on
    its set (after `feed` when given). Whatever ends the loop, every request
    still in flight is waited for before returning."""
    clock = time.perf_counter_ns

    def submit(model: Tensors) -> ara2.InferRequest:
        if feed is not None:
            feed(model)
        return model.submit()
    pending: deque[tuple[Tensors, ara2.InferRequest, int]] = deque()
    count, submitted, max_count = 0, 0, limit.count
    start = last = clock()
    deadline = limit.deadline(start)
    next_tick = min(deadline, start + TICK_NS)
    try:
        for model in models[:max_count]:
            pending.append((model, submit(model), clock()))
            submitted += 1
        while pending:
            model, request, submitted_at = pending[0]
            timing = request.wait(timeout_ms)
            now = clock()
            pending.popleft()
            recorder.latency_ns.append(now - submitted_at)
            recorder.add_timing(timing)
            last = now
            count += 1
            if now >= next_tick:
                if now >= deadline:
                    max_count, next_tick = submitted, NEVER  # let the requests in flight finish
                else:
                    if progress is not None:
                        progress.show(count, now - start)
                    next_tick = min(deadline, now + TICK_NS)
            if submitted < max_count:
                pending.append((model, submit(model), clock()))
                submitted += 1
    finally:
        recorder.start_ns, recorder.end_ns = start, last
        drain(pending, timeout_ms)


def drain(pending: deque[tuple[Tensors, ara2.InferRequest, int]], timeout_ms: int) -> None:
    """Waits for every request left in flight. One that fails, or was already
    waited for, is freed all the same."""
    while pending:
        request = pending.popleft()[1]
        try:
            request.wait(timeout_ms)
        except ara2.Ara2Error:
            pass


# ---------------------------------------------------------------- the command


def statistics(recorder: Recorder) -> Document:
    count = len(recorder.latency_ns)
    duration = (recorder.end_ns - recorder.start_ns) / 1e9
    latency: Document = dict.fromkeys(("min", "p50", "p90", "p99", "max", "mean"))
    device: Document = {name: dict.fromkeys(("mean", "min", "max"))
                        for name in ("run_time", "input_time", "output_time")}
    if count:
        values = np.frombuffer(recorder.latency_ns, dtype=np.int64) / 1e6
        p50, p90, p99 = np.percentile(values, [50, 90, 99])
        latency.update(min=float(values.min()), p50=float(p50), p90=float(p90), p99=float(p99),
                       max=float(values.max()), mean=float(values.mean()))
    for name, recorded in (("run_time", recorder.run_us), ("input_time", recorder.input_us),
                           ("output_time", recorder.output_us)):
        if len(recorded):
            times = np.frombuffer(recorded, dtype=np.uint64)
            device[name].update(mean=float(times.mean()), min=int(times.min()), max=int(times.max()))
    return {"count": count, "duration_s": duration if count else 0.0,
            "throughput_per_s": count / duration if count and duration > 0 else None,
            "latency_ms": latency, "device_us": device}


def execute(args: argparse.Namespace) -> tuple[Document, int]:
    path = args.model
    if args.mode == "sync" and args.requests not in (None, 1):
        raise UsageError("--requests needs --mode async: run() has one request in flight")
    load_path = model_file(path)
    limit = Limit(count=args.iterations) if args.iterations else Limit(seconds=args.time or DEFAULT_SECONDS)
    measure = measure_sync if args.mode == "sync" else measure_async
    connection = connect(args)
    recorder, interrupted, left_in_flight, spans = Recorder(), False, None, None
    progress = Progress(sys.stderr, limit) if not args.json and sys.stderr.isatty() else None
    with connection.session:
        endpoints = select_endpoints(connection.session, args.endpoints)
        requests = None if args.mode == "sync" else args.requests or DEFAULT_ASYNC_REQUESTS
        try:
            # With requests in flight each runs on a tensor set: the models need none of their own.
            with Slots(endpoints, load_path, lambda model: prepare(model, args, allocate=requests is None),
                       requests, args.memory) as opened:
                feed: Feed | None = None
                if args.image is not None:
                    if opened.models[0].n_inputs != 1:
                        raise CliError(f"--image fills models of one input; {path} has "
                                       f"{opened.models[0].n_inputs}")
                    image, color = read_image(args.image, args.color)

                    def feed(tensors: Tensors) -> object:
                        return tensors.set_input_image(0, image, color=color)
                else:
                    inputs = load_inputs(opened.models[0], args.input, args.seed)
                    with step("writing the inputs"):
                        for tensors in opened.tensors:
                            fill_inputs(tensors, inputs)
                with step("running the model"):
                    measure(opened.tensors, Recorder(), Limit(count=args.warmup), None, feed)
                if args.trace is not None:
                    with step(f"recording a trace to {args.trace}"):
                        ara2.trace.start(args.trace)
                with step("running the model"):
                    measure(opened.tensors, recorder, limit, progress, feed)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            if progress is not None:
                progress.clear()
            if ara2.trace.recording() is not None:
                with step(f"writing the trace {args.trace}"):
                    spans = ara2.trace.stop()
        try:
            left_in_flight = connection.session.inflight_count()
        except ara2.Ara2Error:
            pass  # the report says null: unknown
    document: Document = {
        "model": path, "address": connection.address, "mode": args.mode,
        "requests": requests or 1, "endpoints": [index for index, _ in endpoints],
        "memory": args.memory, "inputs": args.input, "image": args.image, "seed": args.seed, "warmup": args.warmup,
        "limit": {"seconds": limit.seconds, "iterations": args.iterations}, "interrupted": interrupted,
        **statistics(recorder), "left_in_flight": left_in_flight,
        "trace": None if spans is None else {"file": args.trace, "spans": spans}}
    return document, INTERRUPTED if interrupted else 0


def _number(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f}"


def render(document: Document) -> list[str]:
    inputs = ", ".join(document["inputs"]) if document["inputs"] else f"random (seed {document['seed']})"
    if document["image"]:
        inputs = f"image {document['image']}, written before every inference"
    lines = [f"bench {document['model']} via {document['address']}: {document['mode']}, {document['requests']} "
             f"request(s) in flight on endpoint(s) {', '.join(map(str, document['endpoints']))}, tensors "
             f"{document['memory'] or 'default'}, inputs {inputs}",
             f"warmup: {document['warmup']} inferences",
             f"measured: {document['count']} inferences in {document['duration_s']:.3f} s"
             + (" (interrupted)" if document["interrupted"] else ""),
             "throughput: " + ("-" if document["throughput_per_s"] is None
                               else f"{document['throughput_per_s']:.1f}") + " inferences/s"]
    latency = document["latency_ms"]
    lines.append("latency (ms): " + "  ".join(f"{key} {_number(latency[key])}" for key in latency))
    device = document["device_us"]
    lines.append("device (us): " + "; ".join(
        f"{name.replace('_time', '')} mean {_number(d['mean'])} (min {text_value(d['min'])}, "
        f"max {text_value(d['max'])})" for name, d in device.items()))
    lines.append(f"left in flight: {text_value(document['left_in_flight'])}")
    if document["trace"] is not None:
        lines.append(f"trace: {document['trace']['spans']} spans in {document['trace']['file']}")
    return lines
