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

# Streams with B-frames, written to MPEG-TS first so that the muxer's time
# stamps can be kept beside the bare stream: one "pts dts" line per picture in
# decoding order (90 kHz). H.264 with 3 B-frames and a B-pyramid, H.265 with
# x265's defaults; 160x96, 25 fps, 40 pictures, a key frame every 20.
bframes() {  # name codec params-option params es-format
  ff -f lavfi -i testsrc=size=160x96:rate=25 -frames:v 40 -pix_fmt yuv420p -c:v "$2" -preset veryfast \
     "$3" "$4" -b:v 60k -f mpegts "$1.ts"
  ff -i "$1.ts" -c copy -f "$5" "$1.${5/hevc/h265}"
  ffprobe -v error -select_streams v -show_entries packet=pts,dts -of csv=p=0 "$1.ts" |
    awk -F, 'NF >= 2 && $1 != "" {print $1, $2}' > "$1.times"
  rm "$1.ts"
}
bframes h264_bframes libx264 -x264-params log-level=error:bframes=3:b-pyramid=normal:keyint=20:min-keyint=20:scenecut=0 h264
bframes h265_bframes libx265 -x265-params log-level=error:keyint=20:min-keyint=20:scenecut=0 hevc

# 29.97 fps (30000/1001 in the timing information), 20 pictures each.
ff -f lavfi -i testsrc=size=160x96:rate=30000/1001 -frames:v 20 -pix_fmt yuv420p \
   -c:v libx264 -preset veryfast -x264-params log-level=error:keyint=10 -b:v 60k h264_2997.h264
ff -f lavfi -i testsrc=size=160x96:rate=30000/1001 -frames:v 20 -pix_fmt yuv420p \
   -c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=10:bframes=0 -b:v 60k h265_2997.h265

# Two seconds of a tone as ADTS AAC, 16 kHz stereo.
ff -f lavfi -i sine=frequency=440:sample_rate=16000 -ac 2 -t 2 -c:a aac -b:a 24k -f adts tone_16k_stereo.aac

# Video the parser names but does not read: MPEG-2 and MPEG-4 Visual, 10
# pictures each, and MPEG-2 in FFmpeg's own program stream (no stream map).
ff -f lavfi -i testsrc=size=160x96:rate=25 -frames:v 10 -c:v mpeg2video -b:v 200k -f mpeg2video mpeg2_160x96.m2v
ff -f lavfi -i testsrc=size=160x96:rate=25 -frames:v 10 -c:v mpeg4 -b:v 200k -f m4v mpeg4_160x96.m4v
ff -i mpeg2_160x96.m2v -c copy -f vob ps_mpeg2.vob

# Four slices per picture, with B-frames: 160x96, 25 fps, 20 pictures.
ff -f lavfi -i testsrc=size=160x96:rate=25 -frames:v 20 -pix_fmt yuv420p -c:v libx264 -preset veryfast \
   -x264-params log-level=error:slices=4:bframes=2:keyint=10 -b:v 60k h264_slices.h264
ff -f lavfi -i testsrc=size=160x96:rate=25 -frames:v 20 -pix_fmt yuv420p -c:v libx265 -preset ultrafast \
   -x265-params log-level=error:slices=4:keyint=10 -b:v 60k h265_slices.h265
