#!/usr/bin/env bash
# What a pip user does with an installed wheel, step by step, as written in the
# README: install, write the example, build and inspect a model, run programs
# against the emulator (private and background daemon), test with the pytest
# plugin, and read why the library did not load. check_wheel.sh and
# wheel_matrix.sh run it on a fresh minimal Debian with no compiler and no -dev
# package; source_builds.sh after installing the build packages.
#   bash scripts/pip_user_flow.sh WHEEL        installed as the README says: pip install --find-links DIR
#   bash scripts/pip_user_flow.sh CHECKOUT     pip install CHECKOUT (built from source)
# PYTHON names the interpreter (default python3).
set -euo pipefail
wheel="$1"
project="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
step() { printf '\n== %s\n' "$*"; }

if [ -f "$wheel" ]; then
  step "no compiler and no development package on this machine"
  for tool in cc gcc g++ c++; do ! command -v "$tool" >/dev/null || { echo "$tool is installed" >&2; exit 1; }; done
  ! dpkg-query -W -f='${Package}\n' 2>/dev/null | grep -E -- '-dev$' || { echo "development packages are installed" >&2; exit 1; }
fi

step "pip install (${PYTHON:-python3})"
venv="$(mktemp -d)/venv"
"${PYTHON:-python3}" -m venv "$venv"
export PATH="$venv/bin:$PATH"
if [ -f "$wheel" ]; then
  # From a directory of wheels, pip picking the one for this interpreter and
  # machine (the version pinned: nothing else may stand in for it).
  version="$(basename "$wheel" | cut -d- -f2)"
  pip install -q --disable-pip-version-check --find-links "$(dirname "$wheel")" "tallowind-ara2[emulator]==$version" pytest
else
  pip install -q --disable-pip-version-check "$wheel[emulator]" pytest
fi

app="$(mktemp -d)"
cd "$app"
step "ara2-emulator example, ara2-emu-model, ara2-emu-dvm"
ara2-emulator example .
ara2-emu-model colour_classifier.yaml -o colour_classifier.dvm
ara2-emu-dvm inspect colour_classifier.dvm | head -3

expect_labels() {
  [ "$(printf '%s\n' "$1" | tail -3)" = "$(printf 'red -> red\ngreen -> green\nblue -> blue')" ] \
    || { echo "unexpected output: $1" >&2; exit 1; }
  echo "$1"
}
step "ara2-emulator run -- python classify.py"
expect_labels "$(ara2-emulator run -- python classify.py colour_classifier.dvm)"

step "ara2-emulator start, env, status, stop"
ara2-emulator start --endpoints 2
ara2-emulator status
expect_labels "$(eval "$(ara2-emulator env)"; python classify.py colour_classifier.dvm)"
ara2-emulator stop
! ara2-emulator status

step "the pytest plugin (registered by the wheel)"
python -m pytest -q -p no:cacheprovider test_classify.py

step "the project's demo, on the installed package"
ara2-emulator run -- python "$project/examples/demo.py" | tail -3

step "a program that cannot find the client library says why"
if python -c 'import tallowind_ara2 as a; a.Session.connect()' 2> failure.txt; then
  echo "a session opened without a client library" >&2; exit 1
fi
cat failure.txt
grep -q "per candidate:" failure.txt && grep -q "ara2-emulator run --" failure.txt

step "every step passed"
