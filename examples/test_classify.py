"""Tests classify.py against the emulator, with the pytest fixtures that
tallowind-ara2 installs: `ara2_emulator` runs a daemon for the test session
and points tallowind_ara2 at it; `ara2_model` builds a .dvm file."""
import pathlib

from classify import classify

HERE = pathlib.Path(__file__).resolve().parent


def test_each_colour_gets_its_label(ara2_emulator, ara2_model):
    model = ara2_model(HERE / "colour_classifier.yaml")
    assert classify(str(model)) == {"red": "red", "green": "green", "blue": "blue"}
