#!/usr/bin/env bash
# The dequantisation kernels on 64-bit Arm: cross-compiles the kernels' unit
# tests (tests/cpp/test_tensor_data.cpp, GoogleTest from Debian's source
# package) with the wheels' aarch64 toolchain and runs them under
# qemu-aarch64-static with Debian 12's arm64 C library. The NEON kernel must
# give the scalar formula's bits.
#   bash scripts/aarch64_kernels.sh [GTEST OPTIONS]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/zig_toolchain.sh"
zig_toolchain aarch64
debian_host_tools arm64
out="$WHEEL_WORK/aarch64-kernels"
[ -d "$out/googletest" ] || debian_unpack bookworm amd64 "$out/googletest" googletest
[ -e "$out/root/lib/aarch64-linux-gnu/libc.so.6" ] || debian_unpack bookworm arm64 "$out/root" libc6
gtest="$out/googletest/usr/src/googletest/googletest"
# Built as the module's kernels are: without contracting multiply-adds.
"$ZIG_DIR/c++" -std=c++23 -O2 -ffp-contract=off -DFMT_HEADER_ONLY -I"$ROOT/src" -isystem "$ZIG_DIR/sysroot/usr/include" \
  -isystem "$gtest/include" -I"$gtest" "$gtest/src/gtest-all.cc" "$gtest/src/gtest_main.cc" \
  "$ROOT/tests/cpp/test_tensor_data.cpp" "$ROOT/src/ara2/tensor_data.cpp" "$ROOT/src/ara2/dequantize_neon.cpp" \
  -o "$out/test_tensor_data" -lpthread
qemu-aarch64-static -L "$out/root" "$out/test_tensor_data" "$@"
