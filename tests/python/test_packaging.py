"""What an installation carries: the install rules put the module, its type
information and the emulator's native parts where the wheel layout expects
them, and the console script points at a real entry point."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from fixtures.paths import REPO

tomllib = pytest.importorskip("tomllib")
PYPROJECT = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def installed(build_dir, tmp_path_factory) -> pathlib.Path:
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    prefix = tmp_path_factory.mktemp("install")
    subprocess.run([cmake, "--install", str(build_dir), "--prefix", str(prefix)],
                   check=True, capture_output=True, text=True)
    return prefix


def test_extension_module_is_installed_at_the_root(installed):
    modules = list(installed.glob("tallowind_ara2.*.so")) + list(installed.glob("tallowind_ara2.so"))
    assert len(modules) == 1, sorted(p.name for p in installed.iterdir())


@pytest.mark.parametrize("relative", ["tallowind_ara2.pyi", "tallowind_ara2-stubs/__init__.pyi"])
def test_stub_is_installed_unchanged(installed, build_dir, relative):
    assert (installed / relative).read_bytes() == (build_dir / "python" / "tallowind_ara2.pyi").read_bytes()


def test_stub_package_is_marked_typed(installed):
    assert (installed / "tallowind_ara2-stubs" / "py.typed").is_file()


def test_nothing_claims_the_site_packages_root_marker(installed):
    # A py.typed at the root would be shared with every other distribution and
    # removed when any of them is uninstalled.
    assert not (installed / "py.typed").exists()


def test_installed_module_imports_outside_the_source_tree(installed, tmp_path):
    # -I drops PYTHONPATH and the current directory; the install prefix goes
    # ahead of the development .pth entry that points into the build tree.
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import tallowind_ara2; "
            "print(tallowind_ara2.__file__)")
    result = subprocess.run([sys.executable, "-I", "-c", code, str(installed)], cwd=tmp_path,
                            capture_output=True, text=True, check=True)
    assert pathlib.Path(result.stdout.strip()).parent == installed


def test_emulator_native_parts_sit_inside_its_package(installed, build_dir):
    # Only what the build produced can be installed; each built variant must land.
    built = sorted((build_dir / "emulator" / "lib").glob("*/libaraclient*.so"))
    if not built:
        pytest.skip("this build has no stand-in client library")
    for library in built:
        relative = library.relative_to(build_dir / "emulator")
        assert (installed / "ara2_emulator" / relative).is_file(), relative
    daemons = [p for p in (build_dir / "emulator" / "bin").glob("*") if os.access(p, os.X_OK)]
    for daemon in daemons:
        assert os.access(installed / "ara2_emulator" / "bin" / daemon.name, os.X_OK), daemon.name


@pytest.mark.parametrize("relative, source", [
    ("ara2_emulator/docs/emulator.md", "emulator/README.md"),
    ("ara2_emulator/docs/models.md", "emulator/models/README.md"),
    ("ara2_emulator/example/colour_classifier.yaml", "examples/colour_classifier.yaml"),
    ("ara2_emulator/example/classify.py", "examples/classify.py"),
    ("ara2_emulator/example/test_classify.py", "examples/test_classify.py"),
])
def test_emulator_documentation_and_example_are_installed(installed, relative, source):
    # `ara2-emulator docs` and `ara2-emulator example` read these in an installed package.
    assert (installed / relative).read_bytes() == (REPO / source).read_bytes()


@pytest.mark.parametrize("package", PYPROJECT["tool"]["scikit-build"]["wheel"]["packages"])
def test_wheel_packages_exist_and_are_typed(package):
    directory = REPO / package
    assert (directory / "__init__.py").is_file()
    assert (directory / "py.typed").is_file()


@pytest.mark.parametrize("name, target", sorted(PYPROJECT["project"]["scripts"].items()))
def test_console_scripts_answer_help(name, target):
    module_name, _, attribute = target.partition(":")
    code = f"import sys; from {module_name} import {attribute} as main; sys.argv[0] = {name!r}; sys.exit(main())"
    result = subprocess.run([sys.executable, "-c", code, "--help"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"usage: {name}")


def test_versions_agree():
    import tallowind_ara2

    assert PYPROJECT["project"]["version"] == tallowind_ara2.__version__
