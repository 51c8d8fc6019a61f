#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ unit tests
# (plain and under AddressSanitizer/UBSan) and the pytest suites.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$ROOT"

status=0
ctest --test-dir "$BUILD" --output-on-failure -j 2 || status=1

if [ ! -f "$ROOT/build-asan/build.ninja" ]; then
  cmake -S "$ROOT" -B "$ROOT/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DARA2_SANITIZE=ON \
        -DARA2_WERROR=ON -DARA2_BUILD_PYTHON=OFF -DARA2_BUILD_EMULATOR=OFF >/dev/null
fi
cmake --build "$ROOT/build-asan" -j 2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$ROOT/build-asan" --output-on-failure -j 2 || status=1

set +e
LD_LIBRARY_PATH="$BUILD/emulator/lib/v1_3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$VENV/bin/python" -m pytest "$ROOT/tests/python" -q -p no:cacheprovider "$@"
pytest_status=$?
set -e
# pytest exits 5 when it collected nothing: that is a failure here too.
[ "$pytest_status" -eq 0 ] || status=1
exit "$status"
