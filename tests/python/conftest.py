"""Loads every fixture module under tests/python/fixtures, so that each suite
can bring its own fixtures without touching this file."""
import pathlib
import sys

# The input builders the suites share with fuzz/make_corpus.py.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))

pytest_plugins = sorted(
    f"fixtures.{path.stem}"
    for path in (pathlib.Path(__file__).parent / "fixtures").glob("*.py")
    if path.stem != "__init__"
)
