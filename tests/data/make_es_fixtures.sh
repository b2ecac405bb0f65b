#!/usr/bin/env bash
# Rebuilds the small elementary-stream fixtures the tests read. Needs the
# ffmpeg CLI (libx264, libx265). Output is deterministic enough for tests that
# check structure, not bytes.
set -euo pipefail
cd "$(dirname "$0")"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# H.264, 320x180 (coded 320x192, so the SPS carries cropping), 25 fps, key
# frame every 25 pictures, 50 pictures; x264 puts SPS/PPS in front of each IDR.
ff -f lavfi -i testsrc=size=320x180:rate=25 -frames:v 50 -pix_fmt yuv420p \
   -c:v libx264 -preset veryfast -g 25 -keyint_min 25 -sc_threshold 0 -bf 0 \
   -x264-params log-level=error -b:v 100k h264_320x180_25fps.h264

# The same picture stream with parameter sets in front of every key frame and
# access unit delimiters.
ff -f lavfi -i testsrc=size=320x180:rate=25 -frames:v 50 -pix_fmt yuv420p \
   -c:v libx264 -preset veryfast -g 25 -keyint_min 25 -sc_threshold 0 -bf 0 \
   -x264-params log-level=error:repeat-headers=1:aud=1 -b:v 100k h264_320x180_25fps_repeat.h264

# H.265, 352x288, 30 fps, key frame every 15 pictures, 45 pictures.
ff -f lavfi -i testsrc=size=352x288:rate=30 -frames:v 45 -pix_fmt yuv420p \
   -c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=15:min-keyint=15:scenecut=0:bframes=0 \
   -b:v 100k h265_352x288_30fps.h265

# Two seconds of a 440 Hz tone as raw G.711 A-law and mu-law, 8000 Hz mono.
ff -f lavfi -i sine=frequency=440:sample_rate=8000 -t 2 -f alaw tone_8k.alaw
ff -f lavfi -i sine=frequency=440:sample_rate=8000 -t 2 -f mulaw tone_8k.ulaw
