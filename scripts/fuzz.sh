#!/usr/bin/env bash
# Runs every fuzz target of build-san/fuzz from its seed corpus: briefly
# (part of test.sh), or a million runs each (600 s at most) with --long. Prints runs,
# seconds and findings per target; fails when any target found something.
# What a run adds to the corpus and what it finds stays in a scratch
# directory (kept and named when there are findings).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="$ROOT/build-san/fuzz"
# The short run is the same every time (a fixed seed and number of runs, about
# 10 s each here), so it fails only on a change; the long one explores.
long=0
[ "${1:-}" = "--long" ] && long=1

targets=(fuzz_dvm_archive fuzz_metadata fuzz_proxy_config fuzz_discovery fuzz_model_file fuzz_daemon_frames)
# The daemon target: the engine logs every refused load on stderr; one engine
# serves every input, so memory one input takes may be freed in a later one
# (leaks are checked at exit instead); and no single allocation may exceed
# the protocol's largest payload (256 MiB).
declare -A extra=([fuzz_daemon_frames]="-close_fd_mask=2 -detect_leaks=0 -malloc_limit_mb=257 -rss_limit_mb=1536")
declare -A short_runs=([fuzz_dvm_archive]=100000 [fuzz_metadata]=350000 [fuzz_proxy_config]=350000
                       [fuzz_discovery]=30000 [fuzz_model_file]=500000 [fuzz_daemon_frames]=80000)

export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-19/bin/llvm-symbolizer
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# In memory where possible: the discovery target builds a file tree per input.
scratch="${TMPDIR:-/tmp}"
[ -w /dev/shm ] && scratch=/dev/shm
work="$(mktemp -d "$scratch/ara2-fuzz-XXXXXX")"
# The discovery target reads its trees, and may crash, as an unprivileged user.
chmod 755 "$work"
status=0
printf '%-20s %10s %8s %9s\n' target runs seconds findings
for target in "${targets[@]}"; do
  corpus="$work/$target/corpus" artifacts="$work/$target/artifacts"
  mkdir -p "$corpus" "$artifacts"
  chmod 1777 "$artifacts"
  cp "$ROOT/fuzz/corpus/$target/"* "$corpus/"
  dict=()
  [ -f "$ROOT/fuzz/$target.dict" ] && dict=("-dict=$ROOT/fuzz/$target.dict")
  log="$work/$target/log"
  started="$(date +%s)"
  # shellcheck disable=SC2086  # the extra options are words
  if [ "$long" -eq 1 ]; then length=(-runs=1000000 -max_total_time=600); else length=(-seed=1 "-runs=${short_runs[$target]}" -max_total_time=60); fi
  TMPDIR="$work/$target" "$BIN/$target" "${length[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${dict[@]}" ${extra[$target]:-} "$corpus" >"$log" 2>&1 || true
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  took=$(($(date +%s) - started))
  findings="$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'oom-*' -o -name 'timeout-*' \) | wc -l)"
  printf '%-20s %10s %8s %9s\n' "$target" "${runs:-?}" "$took" "$findings"
  if [ "$findings" -ne 0 ] || [ -z "$runs" ]; then
    status=1
    tail -n 40 "$log" | sed "s/^/  $target: /" >&2
  fi
done
if [ "$status" -eq 0 ]; then rm -rf "$work"; else echo "fuzz: findings kept in $work" >&2; fi
exit "$status"
