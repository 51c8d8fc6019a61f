"""Configuring a source build: a missing dependency stops the configure step
naming the Debian package that provides it, and the README's one apt-get line
holds every such package."""
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


def configure(build: pathlib.Path, *options: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([CMAKE, "-S", str(REPO), "-B", str(build), *LIGHT, *options],
                          env={**os.environ, **env}, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("hide, package", [
    ("pkg-config", "pkgconf"),
    ("yaml-0.1", "libyaml-dev"),
    ("zlib", "zlib1g-dev"),
    ("fmt", "libfmt-dev"),
])
def test_a_missing_dependency_names_its_debian_package(tmp_path, hide, package):
    options, env = [], {}
    if hide == "pkg-config":
        options.append(f"-DPKG_CONFIG_EXECUTABLE={tmp_path / 'no-pkg-config'}")
    elif hide == "yaml-0.1":
        # pkg-config sees no module at all.
        visible = tmp_path / "pkgconfig"
        visible.mkdir()
        env = {"PKG_CONFIG_LIBDIR": str(visible), "PKG_CONFIG_PATH": ""}
    else:
        options.append(f"-DCMAKE_DISABLE_FIND_PACKAGE_{ {'zlib': 'ZLIB', 'fmt': 'fmt'}[hide]}=ON")
    configured = configure(tmp_path / "build", *options, **env)
    assert configured.returncode != 0
    assert f"install the Debian package {package} " in " ".join(configured.stderr.split()), configured.stderr


def apt_line(document: str) -> list[str]:
    lines = [line.split() for line in (REPO / document).read_text(encoding="utf-8").splitlines()
             if line.lstrip().startswith("sudo apt-get install ") and "libyaml-dev" in line]
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
    assert {"pkgconf", "libyaml-dev", "python3-dev"} <= named
    assert named <= set(apt_line("README.md"))
