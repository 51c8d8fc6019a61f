#!/usr/bin/env bash
# Installs a built wheel on a fresh minimal Debian (debootstrap, through the
# shared fresh-machine tool) and runs pip_user_flow.sh there. Takes about 10
# minutes, most of it the base image; too slow for every test run.
#   bash scripts/check_wheel.sh [WHEEL]   (default: wheelhouse's CPython 3.11 wheel, Debian 12's python3)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wheel="${1:-$(ls "$ROOT"/wheelhouse/tallowind_ara2-*-cp311-*manylinux*.whl | tail -1)}"
fresh="${FRESH_MACHINE:-$ROOT/../shared/tools/fresh-machine.sh}"
[ -x "$fresh" ] || fresh=/work/shared/tools/fresh-machine.sh
FRESH_IN="$wheel" "$fresh" "$ROOT" "bash scripts/pip_user_flow.sh /work/in/$(basename "$wheel")"
