#!/usr/bin/env bash
# Installs a built wheel on a fresh minimal Debian of the wheel's architecture
# (a debootstrap chroot with no compiler and no -dev package; arm64 ones run
# under qemu-user-static) and runs pip_user_flow.sh there with an interpreter
# of the wheel's version:
#   x86_64   3.10, 3.12  Debian 12 with pyenv's interpreter of this machine (Debian ships neither)
#            3.11        Debian 12's python3       3.13 to 3.15  Debian sid's python3.13 to python3.15
#   aarch64  3.11        Debian 12's python3       3.13 to 3.15  Debian sid's
#            3.10, 3.12  none in Debian: exits 3 without running (wheel_matrix.sh checks their tags)
# About a minute on x86_64 and 5 under qemu once the chroot exists (debian.sh
# builds and caches it first: 3 to 15 minutes).
#   bash scripts/check_wheel.sh [WHEEL]   (default: wheelhouse's CPython 3.11 x86_64 wheel)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/debian.sh"
wheel="${1:-$(ls "$ROOT"/wheelhouse/tallowind_ara2-*-cp311-*manylinux*x86_64.whl | tail -1)}"
name="$(basename "$wheel")"
tag="$(echo "$name" | cut -d- -f3)"
version="3.${tag#cp3}"
case "$name" in *x86_64.whl) arch=amd64 ;; *aarch64.whl) arch=arm64 ;; *) echo "check_wheel: $name: no known architecture" >&2; exit 2 ;; esac
python=python3 bind=""
case "$arch $version" in
  "amd64 3.10" | "amd64 3.12")
    suite=bookworm
    python="$(ls -d "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -1 || true)"
    [ -n "$python" ] || { echo "check_wheel: no CPython $version under ~/.pyenv" >&2; exit 3; }
    bind="$(dirname "$(dirname "$python")")" ;;
  "amd64 3.11" | "arm64 3.11") suite=bookworm ;;
  *" 3.13" | *" 3.14" | *" 3.15") suite=sid python="python$version" ;;
  *) echo "check_wheel: Debian has no CPython $version for $arch" >&2; exit 3 ;;
esac
echo "check_wheel: $name on Debian $suite ($arch), $python" >&2
DEBIAN_IN="$wheel" DEBIAN_BIND="$bind" debian_run "$suite" "$arch" "PYTHON=$python bash scripts/pip_user_flow.sh /work/in/$name"
