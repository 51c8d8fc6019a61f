import shutil
import subprocess

import pytest

import tallowind_ara2


def test_module_reports_its_version():
    assert tallowind_ara2.__version__ == "0.22.0"


def test_the_init_function_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", tallowind_ara2.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_tallowind_ara2"]
