#!/usr/bin/env bash
# Remakes samples/cam_sample.ps: eight seconds of a 640x360 H.264 test picture
# at 25 fps with a 440 Hz G.711 A-law tone, wrapped into an MPEG-2 program
# stream as recorders write it. Needs the ffmpeg CLI (libx264) and the test
# tool trelvo_ps_writer (built into <build>/testbin; BUILD overrides build).
set -euo pipefail
cd "$(dirname "$0")"
build=${BUILD:-../build}
writer=$build/testbin/trelvo_ps_writer
[ -x "$writer" ] || { echo "build the trelvo_ps_writer target first ($writer)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# Key frame every second, no B-frames, parameter sets before every key frame.
ff -f lavfi -i testsrc2=size=640x360:rate=25 -t 8 -pix_fmt yuv420p \
   -c:v libx264 -preset veryfast -g 25 -keyint_min 25 -sc_threshold 0 -bf 0 \
   -b:v 150k -maxrate 200k -bufsize 200k -x264-params log-level=error:repeat-headers=1 "$tmp/video.h264"
ff -f lavfi -i sine=frequency=440:sample_rate=8000 -t 8 -f alaw "$tmp/audio.alaw"
"$writer" --video "$tmp/video.h264" --fps 25 --alaw "$tmp/audio.alaw" cam_sample.ps
ls -l cam_sample.ps
