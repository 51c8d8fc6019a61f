#!/usr/bin/env bash
# Installs whatever is missing (system packages, the interpreter's headers, the
# project's virtual environment) and builds the project into build/. Sourced
# by demo.sh and test.sh; a second run only rebuilds what changed.
# ARA2_TARGETS (an array set before sourcing) limits the build to those
# targets: the demo builds only what it runs, test.sh builds everything.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
BUILD="$ROOT/build"
PYTHON="${PYTHON:-python3}"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_packages=(g++ libc6-dev cmake ninja-build pkgconf libyaml-dev rapidjson-dev zlib1g-dev
              libgtest-dev libfmt-dev util-linux procps tmux)
# The extension module compiles against the headers of the interpreter that
# runs it; a distribution interpreter ships them in python3.X-dev.
python_headers="$("$PYTHON" -c 'import os, sysconfig; print(os.path.join(sysconfig.get_paths()["include"], "Python.h"))')"
if [ ! -f "$python_headers" ]; then
  python_prefix="$("$PYTHON" -c 'import sys; print(sys.base_prefix)')"
  if [ "$python_prefix" != /usr ]; then
    echo "bootstrap: $PYTHON has no headers ($python_headers) and is not the distribution's;" \
         "set PYTHON to an interpreter with headers" >&2
    exit 1
  fi
  apt_packages+=("python$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-dev")
fi
# The venv needs ensurepip, which Debian ships apart from the interpreter.
if ! "$PYTHON" -c 'import ensurepip' 2>/dev/null; then
  apt_packages+=("python$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv")
fi
# Scripts that need more (test.sh) name it before sourcing this.
read -r -a extra_packages <<<"${ARA2_EXTRA_APT_PACKAGES:-}"
apt_packages+=("${extra_packages[@]}")
missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# scripts/wheels.sh needs the packages only.
[ -z "${ARA2_PACKAGES_ONLY:-}" ] || return 0

if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
wanted="$(sha256sum "$ROOT/requirements-dev.txt" | cut -d' ' -f1)"
if [ "$(cat "$VENV/.requirements-sha" 2>/dev/null)" != "$wanted" ]; then
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/requirements-dev.txt"
  echo "$wanted" > "$VENV/.requirements-sha"
fi

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DARA2_WERROR=ON \
        -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
fi
cmake --build "$BUILD" -j 2 ${ARA2_TARGETS:+--target "${ARA2_TARGETS[@]}"}

# The venv sees the module and the emulator tools straight from the build tree.
site="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
printf '%s\n%s\n' "$BUILD/python" "$ROOT/emulator/python" > "$site/tallowind_ara2_dev.pth"
printf '%s\n' "$ROOT/cli" >> "$site/tallowind_ara2_dev.pth"  # the ara2 command, from the source tree
# Each console script of pyproject.toml, as pip would write it, without
# installing the project into the venv.
"$VENV/bin/python" - "$ROOT/pyproject.toml" "$VENV/bin" <<'PY'
import os, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
section = re.search(r"^\[project\.scripts\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
for name, module, function in re.findall(r'^([\w.-]+)\s*=\s*"([\w.]+):(\w+)"', section, re.M):
    path = os.path.join(sys.argv[2], name)
    with open(path, "w", encoding="utf-8") as script:
        script.write(f"#!{sys.executable}\nfrom {module} import {function}\nraise SystemExit({function}())\n")
    os.chmod(path, 0o755)
PY

export ARA2_ROOT="$ROOT" ARA2_BUILD="$BUILD" ARA2_VENV="$VENV"
