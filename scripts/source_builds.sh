#!/usr/bin/env bash
# A source build as the README tells it, on fresh minimal Debian 12, 13 and
# sid (debootstrap chroots, debian.sh): the README's apt-get line for the build
# packages, exactly as written, then `pip install .` and the pip user's path
# (pip_user_flow.sh) with the release's python3. One line a release, with the
# time; the logs are in build-wheels/source/.
#   bash scripts/source_builds.sh [SUITE...]      (default: bookworm trixie sid)
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/debian.sh"
LOGS="$ROOT/build-wheels/source"
mkdir -p "$LOGS"
line="$(grep -m1 -E '^ +sudo apt-get install .*libyaml-dev' "$ROOT/README.md" | sed -E 's/^ +sudo //')"
[ -n "$line" ] || { echo "source_builds: README.md has no apt-get line for the build packages" >&2; exit 2; }
status=0
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(bookworm trixie sid)
for suite in "${suites[@]}"; do
  begin=$SECONDS
  # The checkout is the committed HEAD (debian_run copies it to /work/project).
  debian_run "$suite" amd64 "apt-get update -qq && DEBIAN_FRONTEND=noninteractive $line -y -qq >/dev/null &&
    bash scripts/pip_user_flow.sh /work/project" > "$LOGS/$suite" 2>&1
  result=$?
  [ "$result" -eq 0 ] || status=1
  printf 'source build on %-8s %s  %d s  (%s)\n' "$suite" "$([ "$result" -eq 0 ] && echo passed || echo FAILED)" \
      $((SECONDS - begin)) "$LOGS/$suite"
done
exit $status
