"""Two builds of the module in one process, their calls interleaved round by
round: on a shared machine the load then hits both alike, where separate runs
of the other benchmarks can differ by 2x from one minute to the next.

    LD_LIBRARY_PATH=build/emulator/lib/v1_3 .venv/bin/python bench/compare_builds.py OLD_BUILD [NEW_BUILD]

Each BUILD is a build directory (its python/ holds the module); NEW_BUILD
defaults to build/ of this tree. An old tree to compare with can be made
without a second checkout:

    git archive main | tar -x -C /tmp/old
    cmake -S /tmp/old -B /tmp/old/build -G Ninja -DCMAKE_BUILD_TYPE=Release \\
          -DARA2_BUILD_TESTS=OFF -DARA2_BUILD_EMULATOR=OFF && cmake --build /tmp/old/build

run() is timed in neither: the emulator's cost per call drifts with each
session's history and hides the module's share. Instead, when valgrind is
installed, a second table counts the module's own instructions per call of
run(), get_output_tensor() and dequantize() on a 3-byte model for each build
(instructions.py), which is exact where sub-microsecond times are noise."""
from __future__ import annotations

import importlib.machinery
import importlib.util
import pathlib
import sys

import numpy as np

import benchlib
import instructions

SIZES = [3, 64 << 10, 1 << 20, 16 << 20]
COUNTED_CALLS = 200
ROUNDS = 40
QN, OFFSET = 0.05, 3


def load_module(build: pathlib.Path):
    """The module of `build`, loaded under its own name but kept out of sys.modules."""
    path = str(next((build / "python").glob("tallowind_ara2*.so")))
    sys.modules.pop("tallowind_ara2", None)
    loader = importlib.machinery.ExtensionFileLoader("tallowind_ara2", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("tallowind_ara2", path,
                                                                                    loader=loader))
    loader.exec_module(module)
    sys.modules.pop("tallowind_ara2", None)
    return module


def description(nbytes: int) -> dict:
    return {
        "inputs": [{"name": "data", "shape": [1, 1, nbytes]}],
        "outputs": [{"name": "result", "shape": [1, 1, nbytes], "qn": QN, "offset": OFFSET}],
        "program": {"ops": [{"op": "copy", "src": "input:0", "dst": "output:0"}]},
    }


def main(argv: list[str]) -> int:
    if not 1 <= len(argv) <= 2:
        print(__doc__)
        return 2
    builds = {"old": pathlib.Path(argv[0]), "new": pathlib.Path(argv[1] if len(argv) == 2 else benchlib.ROOT / "build")}
    modules = {side: load_module(build) for side, build in builds.items()}
    rows = []
    rng = np.random.default_rng(1)
    with benchlib.emulator() as (daemon, workdir):
        for size in SIZES:
            path = benchlib.model_file(description(size), workdir, f"data{size}")
            data = rng.integers(0, 256, size, dtype=np.uint8).reshape(1, 1, size)
            sessions, measures = [], {}
            for side, module in modules.items():
                session = module.Session.create_via_unix_socket(str(daemon.socket_path))
                sessions.append(session)
                model = session.list_endpoints()[0].load_model(str(path))
                model.allocate_tensors("mem")
                model.set_input_tensor(0, data)
                model.run()
                measures[("set_input_tensor", side)] = lambda model=model: model.set_input_tensor(0, data)
                measures[("get_output_tensor", side)] = lambda model=model: model.get_output_tensor(0)
                measures[("dequantize", side)] = lambda model=model: model.dequantize(0)
            best = benchlib.best_of({key: benchlib.timer(call, 0.01) for key, call in measures.items()}, ROUNDS)
            for operation in ("set_input_tensor", "get_output_tensor", "dequantize"):
                old, new = best[(operation, "old")], best[(operation, "new")]
                rows.append([operation, f"{size} B" if size < 1024 else benchlib.fmt_size(size), f"{old * 1e6:.2f}",
                             f"{new * 1e6:.2f}", f"{old / new:.2f}x"])
            for session in sessions:
                session.close()
        counts = instruction_rows(builds, daemon.socket_path, workdir) if instructions.available() else []
    print(benchlib.machine())
    benchlib.print_table(["operation (mem)", "size", "old (us/call)", "new (us/call)", "speed-up"],
                         sorted(rows, key=lambda row: row[0]))
    if counts:
        print()
        benchlib.print_table(["operation (mem, 3 B)", "old (module instructions/call)", "new", "new - old"], counts)
    return 0


def instruction_rows(builds: dict, socket, workdir) -> list[list[str]]:
    path = benchlib.model_file(description(3), workdir, "data3")
    rows = []
    for method, call in [("run", "model.run()"), ("get_output_tensor", "model.get_output_tensor(0)"),
                         ("dequantize", "model.dequantize(0)")]:
        counts = {}
        for side, build in builds.items():
            setup = (f"import sys\n"
                     f"sys.path.insert(0, {str(build / 'python')!r})\n"
                     f"import numpy as np\n"
                     f"import tallowind_ara2 as ara2\n"
                     f"session = ara2.Session.create_via_unix_socket({str(socket)!r})\n"
                     f"model = session.list_endpoints()[0].load_model({str(path)!r})\n"
                     f"model.allocate_tensors('mem')\n"
                     f"model.set_input_tensor(0, np.arange(3, dtype=np.uint8))\n"
                     f"model.run()")
            counts[side] = instructions.per_call(setup, call, "Model." + method, COUNTED_CALLS)["module"]
        rows.append([method, f"{counts['old']:.0f}", f"{counts['new']:.0f}", f"{counts['new'] - counts['old']:+.0f}"])
    return rows


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
