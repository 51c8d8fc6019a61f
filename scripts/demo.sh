#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo on the emulator.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$ROOT"
LD_LIBRARY_PATH="$BUILD/emulator/lib/v1_3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
