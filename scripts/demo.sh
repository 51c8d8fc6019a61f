#!/usr/bin/env bash
# Installs what is missing, builds what the demo runs (the module, the daemon
# and the stand-in client library; no tests), and runs the demo on the emulator.
set -euo pipefail
ARA2_TARGETS=(tallowind_ara2 ara2-emulator araclient_v1_3)
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$ROOT"
LD_LIBRARY_PATH="$BUILD/emulator/lib/v1_3${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
