#!/usr/bin/env bash
# Rebuilds the fixture of the live-use tests. Needs the ffmpeg CLI (libx264).
set -euo pipefail
cd "$(dirname "$0")"
# A bare H.264 stream of 8 s at 10 fps, 160x96, with a key frame only every
# 4 s: fragments must still come every 2 s.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x96:rate=10 -frames:v 80 -pix_fmt yuv420p \
   -c:v libx264 -preset veryfast -x264-params log-level=error:keyint=40:min-keyint=40:scenecut=0:bframes=0 \
   -b:v 30k live_long_gop.h264
