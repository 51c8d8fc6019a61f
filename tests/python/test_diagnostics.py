"""library_info() and build_info(): what the module would load, and how it was built."""
import os

import pytest

import tallowind_ara2 as ara2
from fixtures.emulator import emulator_lib_dir


@pytest.mark.parametrize("variant, missing", [
    ("v1_3", []),
    ("no_async", [{"name": "dv_infer_async", "called": True}]),
])
def test_library_info_names_the_file_and_what_it_lacks(monkeypatch, variant, missing):
    monkeypatch.setenv("ARA2_CLIENT_LIBRARY_DIR", str(emulator_lib_dir(variant)))
    info = ara2.library_info()
    assert os.path.samefile(info["path"], emulator_lib_dir(variant) / "libaraclient.so")
    assert (info["name"], info["directory"], info["missing"]) == \
           ("libaraclient.so", str(emulator_lib_dir(variant)), missing)
    assert (info["abi"], info["abi_forced"], info["dvapi_version"]) == (ara2.Abi.V1_3, False, "1.3.0.0")


def test_library_info_follows_the_forced_generation(monkeypatch):
    monkeypatch.setenv("ARA2_CLIENT_LIBRARY_DIR", str(emulator_lib_dir("no_version")))
    monkeypatch.setenv("ARA2_ABI", " 1.1 ")
    info = ara2.library_info()
    assert (info["abi"], info["abi_forced"], info["dvapi_version"]) == (ara2.Abi.V1_1, True, None)
    assert {"name": "dv_get_client_lib_version", "called": True} in info["missing"]


def test_library_info_fails_as_a_session_would(monkeypatch, tmp_path):
    monkeypatch.setenv("ARA2_CLIENT_LIBRARY_DIR", str(tmp_path))
    with pytest.raises(ara2.LibraryError, match="^could not load the ARA-2 client library") as raised:
        ara2.library_info()
    assert str(tmp_path / "libaraclient.so") in raised.value.__notes__[0]


def test_build_info_lists_the_kernels_and_the_one_in_use():
    info = ara2.build_info()
    assert info["version"] == ara2.__version__
    assert info["dequantize_kernels"][0] == "portable"
    assert info["dequantize_kernels_supported"] == info["dequantize_kernels"][:len(info["dequantize_kernels_supported"])]
    assert info["dequantize_kernel"] == info["dequantize_kernels_supported"][-1]
    assert info["compiler"].split()[0] in ("GCC", "clang") and info["standard_library"] in ("libstdc++", "libc++")
