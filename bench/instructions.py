"""Instructions per call of one of the module's methods, counted by callgrind
and split by the object that ran them: the module, the client library, and
the rest (the interpreter, numpy, libc).

Sub-microsecond costs drown in the noise of a shared machine and of the
emulator's socket round trip; instruction counts do not, so they show what
the module itself does per call. valgrind hides AVX-512 from the program, so
under it dequantize runs its AVX2 kernel at most."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict

OBJECTS = {"module": "tallowind_ara2", "client library": "libaraclient"}


def available() -> bool:
    return shutil.which("valgrind") is not None


def entries(method: str) -> list[str]:
    """The callgrind patterns of a method's entry, `method` as "Model.run": the
    exception-boundary trampoline every method is installed through. It
    exists for every method, whereas the method's own function may be inlined
    into it; and only it matches, so counting is not toggled off again inside.
    Two spellings, so that builds before and after the data methods became
    templates are counted alike: ``Guarded<&...::model_run, ...>::call`` and
    ``Guarded<&data_call<..., surface::Model::run>(...)...>::call``."""
    cls, name = method.split(".")
    return [f"*::{cls.lower()}_{name}, *", f"*Guarded<*surface::{cls}::{name}>(*"]


def per_call(setup: str, call: str, method: str, calls: int) -> dict[str, float]:
    """Instructions per call of `call` by object, counted only inside the
    module's method `method` ("Model.run"). `setup` runs first in
    a child interpreter; whatever it or the first calls cost once (numpy's
    import...) cancels out: the figure is the difference between a run of
    2 x `calls` calls and one of `calls` calls."""
    once = counted(setup, call, method, calls)
    twice = counted(setup, call, method, 2 * calls)
    return {name: (twice[name] - once[name]) / calls for name in once}


def counted(setup: str, call: str, method: str, calls: int) -> dict[str, int]:
    script = f"{setup}\nfor _ in range({calls}):\n    {call}\n"
    with tempfile.TemporaryDirectory(prefix="ara2-callgrind-") as workdir:
        out = os.path.join(workdir, "callgrind.out")
        toggles = [f"--toggle-collect={pattern}" for pattern in entries(method)]
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
                        *toggles, sys.executable, "-c", script],
                       check=True, capture_output=True)
        totals = self_cost_by_object(out)
    result = {name: 0 for name in [*OBJECTS, "other"]}
    for path, cost in totals.items():
        name = next((name for name, part in OBJECTS.items() if part in os.path.basename(path)), "other")
        result[name] += cost
    return result


def self_cost_by_object(path: str) -> dict[str, int]:
    """Sums the self cost (the first event, Ir) of every function by its object.
    A cost line right after "calls=" is the callee's inclusive cost and is skipped."""
    names: dict[str, str] = {}
    totals: dict[str, int] = defaultdict(int)
    current = ""
    skip_next = False
    with open(path) as lines:
        for line in lines:
            if line.startswith("ob="):
                current = resolve(names, line[3:].strip())
            elif line.startswith("cob="):
                resolve(names, line[4:].strip())  # an object may be named first as a call's target
            elif line.startswith("calls="):
                skip_next = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    totals[current] += int(fields[1])
    return totals


def resolve(names: dict[str, str], text: str) -> str:
    """Callgrind names an object once as "(id) path" and then by "(id)" alone."""
    match = re.fullmatch(r"\((\d+)\)(?: (.*))?", text)
    if match is None:
        return text
    if match.group(2) is not None:
        names[match.group(1)] = match.group(2)
    return names.get(match.group(1), text)
