#!/usr/bin/env bash
# Builds the project and runs the benchmarks against the emulator:
#   bash bench/run.sh                 # every bench_*.py
#   bash bench/run.sh run dequantize  # only bench_run.py and bench_dequantize.py
# Each benchmark starts its own emulator daemon and stops it when done.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/bootstrap.sh"
cd "$ROOT"
cmake --build "$BUILD" --target ara2_bench_infer_sync -j 2 >/dev/null 2>&1 || true

if (($#)); then
  scripts=()
  for name in "$@"; do scripts+=("$ROOT/bench/bench_$name.py"); done
else
  scripts=("$ROOT"/bench/bench_*.py)
fi

status=0
for script in "${scripts[@]}"; do
  echo "== $(basename "$script" .py)"
  LD_LIBRARY_PATH="$BUILD/emulator/lib/v1_3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$VENV/bin/python" "$script" || status=1
done
exit "$status"
