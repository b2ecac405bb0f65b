#!/usr/bin/env bash
# Runs lintian on a Debian package (installing lintian first when missing) and
# fails on any error; warnings are printed for the reader.
#   scripts/lintian.sh path/to/trelvo_*.deb
set -euo pipefail
deb=${1:?usage: lintian.sh PACKAGE.deb}
if ! command -v lintian >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y --no-install-recommends lintian
fi
out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -z "$out" ] || printf '%s\n' "$out"
if grep -q '^E: ' <<< "$out"; then
  echo "lintian: errors in $deb" >&2
  exit 1
fi
