#!/usr/bin/env bash
# Installs what is needed, builds the command-line converter, converts the
# bundled sample recording to MP4 and shows what the output holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target trelvo-convert
build/bin/trelvo-convert --output-dir out samples/cam_sample.ps
ffprobe -hide_banner out/cam_sample.mp4
