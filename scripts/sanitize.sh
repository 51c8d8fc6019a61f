#!/usr/bin/env bash
# Builds build-san/ with clang, AddressSanitizer and UBSan (unit tests, module,
# emulator, fuzz targets) and runs ctest and pytest against it. Run by
# test.sh after bootstrap.sh; arguments go to pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SAN="$ROOT/build-san"
VENV="$ROOT/.venv"

if [ ! -f "$SAN/build.ninja" ]; then
  # -O1: the fuzz targets and the sanitized tests run several times faster than at -O0.
  CC=clang-19 CXX=clang++-19 cmake -S "$ROOT" -B "$SAN" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
        -DARA2_SANITIZE=ON -DARA2_FUZZ=ON -DARA2_WERROR=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
fi
cmake --build "$SAN" -j 2

export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-19/bin/llvm-symbolizer
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# SIGBUS stays the daemon's bus guard's: a fault outside its ranges must kill
# the process with the signal, as it does without the sanitizer.
asan=handle_sigbus=0
status=0
ASAN_OPTIONS=$asan:detect_leaks=1 ctest --test-dir "$SAN" --output-on-failure -j 2 || status=1

# The interpreter is not instrumented: the runtime is preloaded, and leaks are
# not checked, since the interpreter keeps memory to its exit by design.
set +e
ARA2_SANITIZED=1 ARA2_BUILD="$SAN" PYTHONPATH="$SAN/python" \
  LD_PRELOAD="$(clang-19 -print-file-name=libclang_rt.asan-x86_64.so)" ASAN_OPTIONS=$asan:detect_leaks=0 \
  LD_LIBRARY_PATH="$SAN/emulator/lib/v1_3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$VENV/bin/python" -m pytest "$ROOT/tests/python" -q -p no:cacheprovider "$@"
pytest_status=$?
set -e
[ "$pytest_status" -eq 0 ] || status=1
exit "$status"
