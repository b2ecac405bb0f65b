#!/usr/bin/env bash
# Installs every Debian 12 package the project needs. Safe to run again.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config git
  dpkg-dev file
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
  libvo-aacenc-dev
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  clang libclang-rt-14-dev clang-tidy clang-format
  xvfb xauth time parallel
  fonts-dejavu-core
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
