#!/usr/bin/env bash
# Builds self-contained manylinux_2_17 wheels (manylinux2014) for CPython 3.10
# to 3.15 on x86_64 and aarch64 into wheelhouse/: each carries the module, its
# libyaml (grafted by auditwheel), the emulator daemon,
# ara2-emu-dvm and the stand-in client libraries. zig's clang compiles
# everything for glibc 2.17 with its libc++ linked in (scripts/zig_toolchain.sh);
# aarch64 is cross-compiled the same way.
#
# Each wheel is built by `pip wheel` (scikit-build-core) run by an interpreter
# of its version: pyenv's 3.10 to 3.13 on this machine (WHEEL_PYTHON_3_X names
# another), Debian sid's python3.14 and python3.15 in a sid chroot. The
# headers are the target architecture's, from Debian's libpython3.X-dev
# (bookworm's 3.11, sid's 3.13 to 3.15); Debian ships no 3.10 or 3.12, so
# their aarch64 wheels use the interpreter's own headers (a pyconfig.h for
# x86_64 differs from an arm64 one only in flags for CPython's own x86
# assembler, which the public headers do not use).
#   bash scripts/wheels.sh                                       all twelve
#   WHEEL_VERSIONS="3.14" WHEEL_ARCHS=aarch64 bash scripts/wheels.sh
# About 4 minutes a wheel on 2 busy cores; the first run also builds zig's
# libc++ for each architecture and the sid chroot. Then scripts/check_wheel.sh
# or scripts/wheel_matrix.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${WHEELHOUSE:-$ROOT/wheelhouse}"
source "$ROOT/scripts/zig_toolchain.sh"
read -r -a versions <<< "${WHEEL_VERSIONS:-3.10 3.11 3.12 3.13 3.14 3.15}"
read -r -a archs <<< "${WHEEL_ARCHS:-x86_64 aarch64}"
declare -A HEADERS_SUITE=([3.11]=bookworm [3.13]=sid [3.14]=sid [3.15]=sid)
command -v nm >/dev/null || { debian_as_root apt-get update -qq && debian_as_root apt-get install -y -qq binutils >/dev/null; }
# Objects that do not depend on the Python version are compiled once.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
fi

# This machine's interpreter of VERSION, or nothing.
host_python() {
  local variable="WHEEL_PYTHON_${1/./_}" found
  if [ -n "${!variable:-}" ]; then echo "${!variable}"; return; fi
  found="$(ls -d "$HOME"/.pyenv/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -1 || true)"
  [ -z "$found" ] || echo "$found"
}

# Debian's headers of VERSION for ARCH as one self-contained directory, or
# nothing where Debian has none.
debian_headers() {
  local version="$1" arch="$2" suite="${HEADERS_SUITE[$1]:-}"
  [ -n "$suite" ] || return 0
  local dir="$WHEEL_WORK/python$version-$arch"
  if [ ! -f "$dir/usr/include/python$version/Python.h" ]; then
    debian_unpack "$suite" "${DEBIAN_ARCH[$arch]}" "$dir" "libpython$version-dev"
    # The architecture's pyconfig.h in place of Debian's multiarch switch.
    cp "$dir/usr/include/$arch-linux-gnu/python$version/pyconfig.h" "$dir/usr/include/python$version/pyconfig.h"
  fi
  echo "$dir/usr/include/python$version"
}

# Tools for the sid chroot, which has no pkg-config and no ccache: sid's
# pkgconf, unpacked, and this machine's ccache with the libraries it needs, so
# that objects compiled here or there (same compiler, same paths) are shared.
SID_TOOLS="$WHEEL_WORK/sid-tools"
sid_tools() {
  if [ ! -x "$SID_TOOLS/pkg-config" ]; then
    debian_unpack sid amd64 "$SID_TOOLS" pkgconf-bin libpkgconf7
    printf '#!/bin/sh\nLD_LIBRARY_PATH="%s" exec "%s" "$@"\n' \
      "$SID_TOOLS/usr/lib/x86_64-linux-gnu" "$SID_TOOLS/usr/bin/pkgconf" > "$SID_TOOLS/pkg-config"
    chmod +x "$SID_TOOLS/pkg-config"
  fi
  if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && [ ! -x "$SID_TOOLS/ccache" ]; then
    mkdir -p "$SID_TOOLS/ccache-lib"
    cp "$(command -v ccache)" "$SID_TOOLS/ccache-lib/"
    ldd "$(command -v ccache)" | awk '$3 ~ /^\// && $1 !~ /^(libc|libm|ld-linux)/ {print $3}' |
      xargs -r cp -L -t "$SID_TOOLS/ccache-lib/"
    printf '#!/bin/sh\nLD_LIBRARY_PATH="%s" exec "%s" "$@"\n' \
      "$SID_TOOLS/ccache-lib" "$SID_TOOLS/ccache-lib/ccache" > "$SID_TOOLS/ccache"
    chmod +x "$SID_TOOLS/ccache"
  fi
}

build_wheel() {
  local version="$1" arch="$2" tag="cp${1/./}" python headers
  local build="$WHEEL_WORK/$tag-$arch" raw="$WHEEL_WORK/raw-$tag-$arch"
  zig_toolchain "$arch"
  python="$(host_python "$version")"
  headers="$(debian_headers "$version" "$arch")"
  rm -rf "$raw"
  local settings=(--config-settings=build-dir="$build"
                  --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$ZIG_DIR/toolchain.cmake")
  # The host's own headers serve its own architecture.
  if [ -n "$headers" ] && { [ -z "$python" ] || [ "$arch" != "$(uname -m)" ]; }; then
    settings+=(--config-settings=cmake.define.Python_INCLUDE_DIR="$headers")
  fi
  local environment=(PIP_CACHE_DIR="$WHEEL_WORK/pip-cache")
  # (Not _PYTHON_HOST_PLATFORM: pip would then fetch aarch64 build tools.)
  [ "$arch" = "$(uname -m)" ] || settings+=(--config-settings=wheel.tags="$tag-$tag-linux_$arch")
  echo "wheels: CPython $version for $arch (${python:-python$version in a sid chroot})" >&2
  if [ -n "$python" ]; then
    env "${environment[@]}" "$python" -m pip wheel "$ROOT" --no-deps --disable-pip-version-check -q -w "$raw" "${settings[@]}"
  else
    [ "${HEADERS_SUITE[$version]:-}" = sid ] || { echo "wheels: no CPython $version; set WHEEL_PYTHON_${version/./_}" >&2; return 1; }
    sid_tools
    settings+=(--config-settings=cmake.define.PKG_CONFIG_EXECUTABLE="$SID_TOOLS/pkg-config")
    local bind="$ROOT"
    if [ -x "$SID_TOOLS/ccache" ]; then
      local cache_dir
      cache_dir="$(ccache -k cache_dir)"
      mkdir -p "$cache_dir" && bind+=" $cache_dir"
      environment+=(CMAKE_C_COMPILER_LAUNCHER="$SID_TOOLS/ccache" CMAKE_CXX_COMPILER_LAUNCHER="$SID_TOOLS/ccache"
                    CCACHE_DIR="$cache_dir" CCACHE_BASEDIR="${CCACHE_BASEDIR:-}")
    fi
    local command
    command="python$version -m venv /tmp/build-venv && $(printf '%q ' env "${environment[@]}" /tmp/build-venv/bin/pip wheel \
      "$ROOT" --no-deps --disable-pip-version-check -q -w "$raw" "${settings[@]}")"
    DEBIAN_BIND="$bind" debian_run sid amd64 "$command"
  fi
  local wheel
  wheel="$(ls "$raw"/tallowind_ara2-*.whl)"
  # Cross-compiled, the module has no extension suffix of its own (FindPython
  # asks none of an interpreter of another architecture): it gets the target's.
  if [ "$arch" != "$(uname -m)" ]; then
    "$TOOLS/bin/wheel" unpack -d "$raw/unpacked" "$wheel" >/dev/null
    local module
    for module in "$raw"/unpacked/*/tallowind_ara2*.so; do
      mv "$module" "$(dirname "$module")/tallowind_ara2.cpython-${tag#cp}-$arch-linux-gnu.so"
    done
    rm "$wheel" && "$TOOLS/bin/wheel" pack -d "$raw" "$raw"/unpacked/* >/dev/null
    wheel="$(ls "$raw"/tallowind_ara2-*.whl)"
  fi
  # A C library function that zig's headers declare but the old glibc lacks is
  # left undefined without a version in the module: auditwheel cannot see it,
  # and the import would fail there. Only Python's and the grafted libraries' may be.
  local lib="$ZIG_DIR/sysroot/usr/lib/$arch-linux-gnu" provided unversioned
  provided="$(nm -D --defined-only "$lib"/{libyaml,libz}.so | awk '{print $3}')"
  unversioned="$(nm -D --undefined-only "$build"/python/tallowind_ara2*.so |
    awk '$1 == "U" && $2 !~ /@|^_?Py/ {print $2}' | grep -vxF "$provided" || true)"
  [ -z "$unversioned" ] || { echo "wheels: undefined in the module, in no library:" $unversioned >&2; return 1; }
  # auditwheel grafts the sysroot's libyaml and picks the oldest
  # manylinux tag the symbol versions allow (of the wheel's architecture);
  # manylinux_2_17 is demanded.
  rm -rf "$raw/repaired"
  PATH="$TOOLS/bin:$PATH" auditwheel repair -w "$raw/repaired" --ldpaths "$lib" "$wheel" >&2
  local repaired
  repaired="$(ls "$raw"/repaired/*.whl)"
  case "$repaired" in
    *manylinux_2_17_"$arch"*) mv "$repaired" "$OUT/" ;;
    *) echo "wheels: $(basename "$repaired") is not manylinux_2_17_$arch" >&2; return 1 ;;
  esac
}

mkdir -p "$OUT"
for arch in "${archs[@]}"; do
  for version in "${versions[@]}"; do build_wheel "$version" "$arch"; done
done
ls -l "$OUT"
