#!/usr/bin/env bash
# Every wheel, built and checked where it runs: CPython 3.10 to 3.15 on x86_64
# and aarch64. For each: wheels.sh builds it; auditwheel show must find the
# manylinux_2_17 tag of its architecture (the symbol versions of everything
# in it); check_wheel.sh installs it on a minimal Debian of its architecture
# (qemu for aarch64) and runs the pip user's flow. A version Debian ships no
# interpreter of on that architecture is built and checked only. Then the
# NEON kernels' tests run under qemu (aarch64_kernels.sh). Prints a table
# (also written to build-wheels/matrix.md); each log is in build-wheels/matrix/.
#   bash scripts/wheel_matrix.sh           about 2 hours on 2 busy cores, chroots included
#   WHEEL_VERSIONS=3.14 WHEEL_ARCHS=aarch64 bash scripts/wheel_matrix.sh
#   MATRIX_BUILD=0 ...                     check the wheels already in wheelhouse/
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${WHEELHOUSE:-$ROOT/wheelhouse}"
LOGS="$ROOT/build-wheels/matrix"
TABLE="$ROOT/build-wheels/matrix.md"
read -r -a versions <<< "${WHEEL_VERSIONS:-3.10 3.11 3.12 3.13 3.14 3.15}"
read -r -a archs <<< "${WHEEL_ARCHS:-x86_64 aarch64}"
mkdir -p "$LOGS"
started=$SECONDS
rows=()
mark() { if [ "$1" -eq 0 ]; then echo yes; else echo "**no**"; fi; }
# The table so far (rewritten after each wheel, so an interrupted run leaves its rows).
table() {
  echo "| CPython | arch | wheel built | manylinux_2_17 tag | installs | pip user's flow | seconds (build + check) | where |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- |"
  printf '%s\n' "${rows[@]}"
}

for arch in "${archs[@]}"; do
  for version in "${versions[@]}"; do
    tag="cp${version/./}"
    log="$LOGS/$tag-$arch"
    begin=$SECONDS
    built=0
    if [ "${MATRIX_BUILD:-1}" = 1 ]; then
      rm -f "$OUT"/tallowind_ara2-*-"$tag"-"$tag"-*"$arch".whl
      WHEEL_VERSIONS="$version" WHEEL_ARCHS="$arch" bash "$ROOT/scripts/wheels.sh" > "$log.build" 2>&1 || built=1
    fi
    wheel="$(ls "$OUT"/tallowind_ara2-*-"$tag"-"$tag"-*"$arch".whl 2>/dev/null | tail -1)"
    [ -n "$wheel" ] || built=1
    build_seconds=$((SECONDS - begin))
    tags=1 installs="-" flow="-" note=""
    if [ "$built" -eq 0 ]; then
      "$ROOT/build-wheels/tools/bin/auditwheel" show "$wheel" > "$log.show" 2>&1
      grep -q "manylinux_2_17_$arch" "$log.show" && tags=0
      begin=$SECONDS
      bash "$ROOT/scripts/check_wheel.sh" "$wheel" > "$log.flow" 2>&1
      status=$?
      if [ "$status" -eq 3 ]; then
        note="tags only: $(tail -1 "$log.flow" | sed 's/^check_wheel: //')"
      else
        grep -q "^== ara2-emulator example" "$log.flow"; installs="$(mark $?)"
        flow="$(mark "$status")"
        note="$(grep -m1 '^check_wheel: ' "$log.flow" | sed 's/^check_wheel: [^ ]* on //')"
      fi
      check_seconds=$((SECONDS - begin))
    else
      check_seconds=0
    fi
    rows+=("| $version | $arch | $(mark $built) | $(mark $tags) | $installs | $flow | $build_seconds + $check_seconds | $note |")
    printf '%s\n' "${rows[-1]}" >&2
    table > "$TABLE"
  done
done

kernels="**failed**"
if printf '%s\n' "${archs[@]}" | grep -qx aarch64; then
  bash "$ROOT/scripts/aarch64_kernels.sh" --gtest_filter='*Dequantize*' > "$LOGS/aarch64-kernels" 2>&1 &&
    kernels="$(grep -c '^\[       OK \]' "$LOGS/aarch64-kernels") dequantisation tests passed"
fi
{
  table
  echo
  echo "aarch64 kernels under qemu: $kernels. Whole matrix: $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s."
} | tee "$TABLE"
! grep -q '\*\*' "$TABLE"
