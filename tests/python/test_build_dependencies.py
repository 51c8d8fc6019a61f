"""Configuring a source build: minizip's headers are found wherever the
distribution's minizip.pc points, and a missing dependency stops the configure
step naming the Debian package that provides it."""
import os
import re
import pathlib
import shutil
import subprocess

import pytest

from fixtures.paths import REPO

CMAKE, NINJA, PKG_CONFIG = (shutil.which(tool) for tool in ("cmake", "ninja", "pkg-config"))
pytestmark = pytest.mark.skipif(not (CMAKE and NINJA and PKG_CONFIG), reason="needs cmake, ninja and pkg-config")
LIGHT = ["-G", "Ninja", "-DARA2_BUILD_PYTHON=OFF", "-DARA2_BUILD_EMULATOR=OFF", "-DARA2_BUILD_TESTS=OFF"]


def pc_dir(module: str) -> pathlib.Path:
    found = subprocess.run([PKG_CONFIG, "--variable=pcfiledir", module], capture_output=True, text=True)
    if found.returncode != 0:
        pytest.skip(f"{module} is not installed")
    return pathlib.Path(found.stdout.strip())


def configure(build: pathlib.Path, *options: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([CMAKE, "-S", str(REPO), "-B", str(build), *LIGHT, *options],
                          env={**os.environ, **env}, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("pc_includedir", ["include/minizip", "include"])
def test_unzip_h_is_found_whichever_directory_minizip_pc_names(tmp_path, pc_includedir):
    # A minizip installed as Debian sid has it: minizip.pc says include/ while
    # unzip.h sits in include/minizip/. The archive reader must still compile.
    system_pc = pc_dir("minizip")
    headers = pathlib.Path(subprocess.run([PKG_CONFIG, "--variable=includedir", "minizip"],
                                          capture_output=True, text=True, check=True).stdout.strip())
    if not (headers / "unzip.h").is_file():
        headers = headers / "minizip"
    prefix = tmp_path / "prefix"
    shutil.copytree(headers, prefix / "include" / "minizip")
    libdir = subprocess.run([PKG_CONFIG, "--variable=libdir", "minizip"],
                            capture_output=True, text=True, check=True).stdout.strip()
    (prefix / "pkgconfig").mkdir()
    (prefix / "pkgconfig" / "minizip.pc").write_text(
        f"prefix={prefix}\nlibdir={libdir}\nincludedir=${{prefix}}/{pc_includedir}\n\n"
        "Name: minizip\nDescription: zip archives\nVersion: 1.3\n"
        "Libs: -L${libdir} -lminizip\nCflags: -I${includedir}\n")
    build = tmp_path / "build"
    # Ahead of the system's minizip.pc; the system's headers are not on the path.
    configured = configure(build, PKG_CONFIG_PATH=f"{prefix / 'pkgconfig'}:{system_pc}")
    assert configured.returncode == 0, configured.stdout + configured.stderr
    targets = subprocess.run([NINJA, "-C", str(build), "-t", "targets", "all"],
                             capture_output=True, text=True, check=True).stdout
    objects = [line.split(":")[0] for line in targets.splitlines() if "dvm_archive.cpp.o:" in line]
    assert len(objects) == 1, targets
    compiled = subprocess.run([NINJA, "-C", str(build), objects[0]], capture_output=True, text=True, timeout=600)
    assert compiled.returncode == 0, compiled.stdout + compiled.stderr


@pytest.mark.parametrize("hide, package", [
    ("pkg-config", "pkgconf"),
    ("yaml-0.1", "libyaml-dev"),
    ("minizip", "libminizip-dev"),
    ("fmt", "libfmt-dev"),
])
def test_a_missing_dependency_names_its_debian_package(tmp_path, hide, package):
    options, env = [], {}
    if hide == "pkg-config":
        options.append(f"-DPKG_CONFIG_EXECUTABLE={tmp_path / 'no-pkg-config'}")
    elif hide == "fmt":
        options.append("-DCMAKE_DISABLE_FIND_PACKAGE_fmt=ON")
    else:
        # pkg-config sees only the modules found before the hidden one.
        visible = tmp_path / "pkgconfig"
        visible.mkdir()
        for module in ["yaml-0.1", "minizip", "zlib"][:["yaml-0.1", "minizip"].index(hide)]:
            shutil.copy(pc_dir(module) / f"{module}.pc", visible)
        env = {"PKG_CONFIG_LIBDIR": str(visible), "PKG_CONFIG_PATH": ""}
    configured = configure(tmp_path / "build", *options, **env)
    assert configured.returncode != 0
    assert f"install the Debian package {package} " in " ".join(configured.stderr.split()), configured.stderr


def apt_line(document: str) -> list[str]:
    lines = [line.split() for line in (REPO / document).read_text(encoding="utf-8").splitlines()
             if line.lstrip().startswith("sudo apt-get install ") and "libminizip-dev" in line]
    assert len(lines) == 1, f"{document} should give the build packages in one apt-get line"
    return lines[0]


def test_readme_and_guide_give_the_same_build_packages():
    assert apt_line("README.md") == apt_line("docs/guide.md")


def test_every_package_the_configure_step_names_is_in_the_readme_line():
    named = set(re.findall(r"^\s*ara2_require\(.*\s([a-z0-9][a-z0-9.+-]+)\)\s*$",
                           (REPO / "CMakeLists.txt").read_text(encoding="utf-8"), re.M))
    # The unit tests' GoogleTest is not built by pip, which also brings NumPy
    # into its build environment itself.
    named -= {"libgtest-dev", "python3-numpy"}
    assert {"pkgconf", "libminizip-dev", "python3-dev"} <= named
    assert named <= set(apt_line("README.md"))
