#!/usr/bin/env bash
# Debian releases and architectures other than this machine's, for building
# wheels and checking them where users run them. Sourced; nothing is installed
# into this machine's own system beyond debootstrap and qemu-user-static.
#   debian_unpack SUITE ARCH DIR PACKAGE...   unpack packages' files into DIR (no install scripts run)
#   debian_base SUITE ARCH                    a minimal chroot of that release, built once and cached
#   debian_run SUITE ARCH COMMAND             COMMAND (bash) as root in a throwaway copy of the chroot,
#                                             with this checkout's HEAD in /work/project, $DEBIAN_IN in /work/in
#                                             and each directory of $DEBIAN_BIND at its own path
# Everything is cached under $ARA2_DEBIAN_CACHE (default /var/cache/ara2-chroots).
set -euo pipefail
ARA2_DEBIAN_CACHE="${ARA2_DEBIAN_CACHE:-/var/cache/ara2-chroots}"
DEBIAN_MIRROR="${DEBIAN_MIRROR:-$(grep -rhE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null |
  grep -i debian | grep -v security | head -1 | sed -E 's/^URIs: //; s/^deb (\[[^]]*\] )?//; s/ .*//' || true)}"
DEBIAN_MIRROR="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
# What the chroots hold besides the minimal system: each release's interpreters
# with venv support, and the certificates pip needs. No compiler, no -dev package.
declare -A DEBIAN_PYTHONS=([bookworm]="python3" [trixie]="python3" [sid]="python3 python3.13 python3.14 python3.15")

debian_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

debian_host_tools() {
  local missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  [ "$1" = "$(dpkg --print-architecture)" ] || command -v qemu-aarch64-static >/dev/null ||
    missing+=(qemu-user-static binfmt-support)
  if ((${#missing[@]})); then
    debian_as_root apt-get update -qq
    debian_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  # Foreign binaries run through qemu, registered with the kernel once per boot.
  if [ "$1" != "$(dpkg --print-architecture)" ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
      debian_as_root mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    debian_as_root update-binfmts --enable qemu-aarch64
  fi
}

# apt-get or apt-cache (TOOL) with its own sources, lists and cache for SUITE on ARCH; this
# machine's apt configuration (proxies) applies, its package state does not.
debian_apt() {
  local suite="$1" arch="$2" tool="$3"; shift 3
  local dir="$ARA2_DEBIAN_CACHE/apt/$suite-$arch"
  local options=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
                 -o "Dir::State=$dir/state" -o "Dir::State::status=$dir/state/status" -o "Dir::Cache=$dir/cache"
                 -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
  if [ ! -f "$dir/state/updated" ] || [ -n "$(find "$dir/state/updated" -mmin +1440)" ]; then
    mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial"
    touch "$dir/state/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $DEBIAN_MIRROR $suite main" > "$dir/sources.list"
    apt-get "${options[@]}" update -qq
    touch "$dir/state/updated"
  fi
  "$tool" "${options[@]}" "$@"
}

debian_unpack() {
  local suite="$1" arch="$2" dest="$3"; shift 3
  local debs="$ARA2_DEBIAN_CACHE/debs/$suite-$arch" package file
  mkdir -p "$debs" "$dest"
  for package in "$@"; do
    file="$(ls "$debs/${package}"_*.deb 2>/dev/null | tail -1 || true)"
    if [ -z "$file" ]; then
      (cd "$debs" && debian_apt "$suite" "$arch" apt-get download -qq "$package" >/dev/null)
      file="$(ls "$debs/${package}"_*.deb | tail -1)"
    fi
    dpkg-deb -x "$file" "$dest"
  done
}

debian_base() {
  local suite="$1" arch="$2"
  local base="$ARA2_DEBIAN_CACHE/$suite-$arch"
  if [ ! -x "$base/usr/bin/python3" ]; then
    debian_host_tools "$arch"
    local include=(ca-certificates python3-pip) python
    for python in ${DEBIAN_PYTHONS[$suite]}; do include+=("$python" "$python-venv"); done
    echo "debian: building a minimal $suite ($arch) in $base" >&2
    rm -rf "$base.partial"
    debian_as_root debootstrap --variant=minbase --arch="$arch" --include="$(IFS=,; echo "${include[*]}")" \
      "$suite" "$base.partial" "$DEBIAN_MIRROR" > "$ARA2_DEBIAN_CACHE/debootstrap-$suite-$arch.log" 2>&1 ||
      { tail -5 "$ARA2_DEBIAN_CACHE/debootstrap-$suite-$arch.log" >&2; return 1; }
    # Its own release as its only package source, so apt-get works inside.
    rm -f "$base.partial"/etc/apt/sources.list.d/*
    echo "deb $DEBIAN_MIRROR $suite main" > "$base.partial/etc/apt/sources.list"
    echo 'Acquire::Check-Valid-Until "false";' > "$base.partial/etc/apt/apt.conf.d/99-snapshot"
    debian_as_root chroot "$base.partial" apt-get clean
    mv "$base.partial" "$base"
  else
    debian_host_tools "$arch"
  fi
  echo "$base"
}

debian_run() {
  local suite="$1" arch="$2" command="$3" base run project rc
  base="$(debian_base "$suite" "$arch")"
  project="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  run="$(mktemp -d "$ARA2_DEBIAN_CACHE/run-$suite-$arch.XXXX")"
  cp -a "$base/." "$run/"
  # This machine's name resolution, package-registry settings and certificate authorities.
  for file in /etc/pip.conf /etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt /etc/apt/apt.conf.d/*proxy*; do
    [ -f "$file" ] && mkdir -p "$run$(dirname "$file")" && cp "$file" "$run$file"
  done
  cp -a /usr/local/share/ca-certificates/. "$run/usr/local/share/ca-certificates/" 2>/dev/null || true
  [ -d /etc/xdg/pip ] && mkdir -p "$run/etc/xdg" && cp -a /etc/xdg/pip "$run/etc/xdg/"
  [ -d /root/.config/pip ] && mkdir -p "$run/root/.config" && cp -a /root/.config/pip "$run/root/.config/"
  mkdir -p "$run/work/project" "$run/work/in"
  git -C "$project" archive HEAD | tar -x -C "$run/work/project"
  if [ -n "${DEBIAN_IN:-}" ]; then cp -a $DEBIAN_IN "$run/work/in/"; fi
  debian_as_root mount -t proc proc "$run/proc"
  debian_as_root mount --rbind /dev "$run/dev"
  local bound=() dir
  for dir in ${DEBIAN_BIND:-}; do
    mkdir -p "$run$dir" && debian_as_root mount --bind "$dir" "$run$dir" && bound+=("$run$dir")
  done
  set +e
  debian_as_root env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb LANG=C.UTF-8 \
    $(env | grep -E '^(PIP_|SSL_CERT_FILE|REQUESTS_CA_BUNDLE|https?_proxy|HTTPS?_PROXY|no_proxy|NO_PROXY)=') \
    chroot "$run" bash -c "cd /work/project && $command"
  rc=$?
  set -e
  for dir in "${bound[@]}"; do debian_as_root umount "$dir"; done
  debian_as_root umount -R -l "$run/dev"
  debian_as_root umount -l "$run/proc"
  # Never removed while anything is still mounted inside (a bound checkout).
  if [ -z "${DEBIAN_KEEP:-}" ] && ! grep -qF " $run/" /proc/self/mounts; then debian_as_root rm -rf "$run"; fi
  return $rc
}
