#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ unit tests and
# the pytest suites, both again under AddressSanitizer/UBSan, and a short run
# of every fuzz target.
set -euo pipefail
# The sanitizer and fuzzing toolchain, for bootstrap.sh to install.
ARA2_EXTRA_APT_PACKAGES="clang-19 libclang-rt-19-dev llvm-19"
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$ROOT"

status=0
ctest --test-dir "$BUILD" --output-on-failure -j 2 || status=1

set +e
LD_LIBRARY_PATH="$BUILD/emulator/lib/v1_3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$VENV/bin/python" -m pytest "$ROOT/tests/python" -q -p no:cacheprovider "$@"
pytest_status=$?
set -e
# pytest exits 5 when it collected nothing: that is a failure here too.
[ "$pytest_status" -eq 0 ] || status=1

bash "$ROOT/scripts/sanitize.sh" "$@" || status=1
bash "$ROOT/scripts/fuzz.sh" || status=1
exit "$status"
