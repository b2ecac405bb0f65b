#!/usr/bin/env bash
# Rebuilds the fixtures of the MP4 writer tests. Needs the ffmpeg CLI
# (libx264, libx265). The tests read them back through libavformat and
# compare with what they decode to, so exact bytes do not matter.
set -euo pipefail
cd "$(dirname "$0")"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# H.264 with B-frames in a pyramid at 30000/1001 fps, 60 pictures, a key
# frame every 30; parameter sets in front of every key frame.
ff -f lavfi -i testsrc=size=320x180:rate=30000/1001 -frames:v 60 -pix_fmt yuv420p \
   -c:v libx264 -preset veryfast -g 30 -keyint_min 30 -sc_threshold 0 -b:v 100k \
   -x264-params log-level=error:bframes=3:b-pyramid=normal:repeat-headers=1 \
   mp4_h264_bframes_2997.ts

# H.265 as x265 makes it by default (B-frames, open GOPs), 25 fps, 50 pictures.
ff -f lavfi -i testsrc=size=320x180:rate=25 -frames:v 50 -pix_fmt yuv420p \
   -c:v libx265 -preset ultrafast -b:v 60k \
   -x265-params log-level=error:keyint=25:repeat-headers=1 mp4_h265_bframes.ts

# Flash and beep: four seconds of black at 25 fps with a white picture at 1 s
# and 3 s, and a 1 kHz tone of 0.2 s starting exactly with each. Key frame
# every 20 pictures (0.8 s), so the flashes fall mid-GOP; B-frames. The sound
# as AAC (16 kHz stereo, ADTS in the stream) and as raw A-law, 8 kHz mono.
tone="if(gte(t\,1)*lt(mod(t-1\,2)\,0.2)\,0.5*sin(2*PI*1000*t)\,0)"
ff -f lavfi -i "nullsrc=s=320x180:r=25,geq=lum='if(eq(mod(N\,50)\,25)\,235\,16)':cb=128:cr=128,format=yuv420p" \
   -f lavfi -i "aevalsrc='$tone':s=16000:c=stereo:d=4" -frames:v 100 \
   -c:v libx264 -preset veryfast -g 20 -keyint_min 20 -sc_threshold 0 -b:v 40k \
   -x264-params log-level=error:bframes=3:b-pyramid=normal:repeat-headers=1 \
   -c:a aac -b:a 24k mp4_beep.ts
ff -f lavfi -i "aevalsrc='$tone':s=8000:c=mono:d=4" -f alaw mp4_beep.alaw
