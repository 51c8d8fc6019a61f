"""What traces and counters cost: run() per call of another build of the
module (one without them: main's) against this one with tracing off and on,
in one process, round by round; then the instructions of one run() and one
set_input_tensor() under callgrind (exact where microseconds are noise),
with the counters off (ARA2_COUNTERS=0) and on, and with a trace recorded.
The cost of one span is the difference a recording makes to a call that
records one span (set_input_tensor).

    LD_LIBRARY_PATH=build/emulator/lib/v1_3 .venv/bin/python bench/bench_observe.py [OTHER_BUILD]

Without OTHER_BUILD (as bench/run.sh runs it) the other build's columns are left out.
"""
from __future__ import annotations

import os
import pathlib
import sys
import tempfile

import numpy as np
import yaml

import benchlib
import instructions
from compare_builds import load_module

ROUNDS = 25
CALLS = 1000
COUNTED_CALLS = 200
INPUT = "np.zeros(3072, np.uint8)"


def per_call(module, socket, model_path, trace: str | None, call: str) -> float:
    """Seconds per run() or per set_input_tensor() of 3 KiB on a fresh session and model (the
    emulator's cost drifts with a session's history)."""
    with module.Session.create_via_unix_socket(str(socket)) as session:
        with session.list_endpoints()[0].load_model(model_path) as model:
            model.allocate_tensors("mem")
            model.run()
            data = np.zeros(3072, np.uint8)
            function = model.run if call == "run" else lambda: model.set_input_tensor(0, data)
            calls = CALLS if call == "run" else 20 * CALLS
            if trace is None:
                return benchlib.per_call(function, calls)
            module.trace.start(trace)
            try:
                return benchlib.per_call(function, calls)
            finally:
                module.trace.stop()


def counted(build: pathlib.Path, socket, model_path, call: str, method: str, env: dict[str, str],
            trace: str | None) -> float:
    """Instructions of the module per call, in a child with `env`."""
    setup = (f"import sys; sys.path.insert(0, {str(build / 'python')!r})\n"
             f"import numpy as np, tallowind_ara2 as ara2\n"
             f"session = ara2.Session.create_via_unix_socket({str(socket)!r})\n"
             f"model = session.list_endpoints()[0].load_model({str(model_path)!r})\n"
             f"model.allocate_tensors('mem')\n"
             f"model.run(); model.set_input_tensor(0, {INPUT})\n"
             + (f"ara2.trace.start({trace!r})\n" if trace else ""))
    saved = dict(os.environ)
    os.environ.update(env)
    try:
        return instructions.per_call(setup, call, method, COUNTED_CALLS)["module"]
    finally:
        os.environ.clear()
        os.environ.update(saved)


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        print(__doc__)
        return 2
    other_build, this_build = (pathlib.Path(argv[0]) if argv else None), benchlib.ROOT / "build"
    other, this = (load_module(other_build) if other_build else None), load_module(this_build)
    description = yaml.safe_load((benchlib.ROOT / "examples" / "colour_classifier.yaml").read_text())
    with benchlib.emulator() as (daemon, workdir), tempfile.TemporaryDirectory() as scratch:
        model_path = benchlib.model_file(description, workdir, "colour_classifier")
        trace = os.path.join(scratch, "trace.json")
        print(benchlib.machine())
        rows = []
        for call in ("run", "set_input_tensor"):
            sides = {"other build": other, "trace off": this, "trace on": this} if other else \
                {"trace off": this, "trace on": this}
            best = benchlib.best_of({
                side: (lambda module=module, side=side: per_call(module, daemon.socket_path, model_path,
                                                                  trace if side == "trace on" else None, call))
                for side, module in sides.items()}, ROUNDS)
            rows.append([f"{call}()", *(f"{v * 1e6:.3f}" for v in best.values())])
        benchlib.print_table(["us/call, best of rounds", *sides], rows)
        if not instructions.available():
            return 0
        print()
        rows = []
        for call, method, spans in (("model.run()", "Model.run", 4),
                                    (f"model.set_input_tensor(0, {INPUT})", "Model.set_input_tensor", 1)):
            figures = {"other build": counted(other_build, daemon.socket_path, model_path, call, method, {}, None)
                       } if other_build else {}
            figures |= {
                "counters off": counted(this_build, daemon.socket_path, model_path, call, method,
                                        {"ARA2_COUNTERS": "0"}, None),
                "counters on": counted(this_build, daemon.socket_path, model_path, call, method, {}, None),
                "trace on": counted(this_build, daemon.socket_path, model_path, call, method, {}, trace),
            }
            per_span = (figures["trace on"] - figures["counters on"]) / spans
            rows.append([call.split("(")[0], *(f"{figures[k]:.0f}" for k in figures), f"{per_span:.0f}"])
        benchlib.print_table(["module instructions/call", *figures, "per span"], rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
