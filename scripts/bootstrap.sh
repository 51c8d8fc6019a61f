#!/usr/bin/env bash
# Installs whatever is missing (system packages, the project's virtual
# environment) and builds the project once into build/. Sourced by demo.sh and
# test.sh; a second run only rebuilds what changed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
BUILD="$ROOT/build"

apt_packages=(g++ cmake ninja-build pkg-config libyaml-dev rapidjson-dev libminizip-dev zlib1g-dev
              libgtest-dev libfmt-dev util-linux procps)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  "${PYTHON:-python3}" -m venv "$VENV"
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
cmake --build "$BUILD" -j 2

# The venv sees the module and the emulator tools straight from the build tree.
site="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
printf '%s\n%s\n' "$BUILD/python" "$ROOT/emulator/python" > "$site/tallowind_ara2_dev.pth"
echo "$ROOT/cli" >> "$site/tallowind_ara2_dev.pth"  # the ara2 command, from the source tree
if [ -d "$ROOT/emulator/python/ara2_emulator" ]; then
  cat > "$VENV/bin/ara2-emu-model" <<SCRIPT
#!$VENV/bin/python
from ara2_emulator.model_builder import main
raise SystemExit(main())
SCRIPT
  chmod +x "$VENV/bin/ara2-emu-model"
fi
cat > "$VENV/bin/ara2" <<SCRIPT
#!$VENV/bin/python
from ara2_cli.main import main
raise SystemExit(main())
SCRIPT
chmod +x "$VENV/bin/ara2"

export ARA2_ROOT="$ROOT" ARA2_BUILD="$BUILD" ARA2_VENV="$VENV"
