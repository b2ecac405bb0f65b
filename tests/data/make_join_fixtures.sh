#!/usr/bin/env bash
# Makes the fixtures of the join, cut and recording-time tests with ffmpeg and
# our own test program-stream writer.
#   make_join_fixtures.sh [path/to/trelvo_ps_writer]
set -euo pipefail
cd "$(dirname "$0")"
W=${1:-../../build/testbin/trelvo_ps_writer}
[ -x "$W" ] || { echo "build trelvo_ps_writer first (or name it)" >&2; exit 1; }

# Black 160x96 pictures at 25 fps with white ones where lum() says, key frame
# every GOP pictures, no B-frames, parameter sets before every key frame.
pictures() { # out frames gop lum
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "nullsrc=s=160x96:r=25,geq=lum='$4':cb=128:cr=128,format=yuv420p" \
    -frames:v "$2" -c:v libx264 -preset veryfast -g "$3" -keyint_min "$3" -sc_threshold 0 -b:v 20k \
    -x264-params log-level=error:bframes=0:repeat-headers=1 "$1"
}
# A-law from a tone that starts at $2 s and ends at $3 s, $1 s long in all.
tone() { # seconds from to out
  ffmpeg -hide_banner -loglevel error -y -f lavfi \
    -i "aevalsrc='if(between(t\,$2\,$3-0.0001)\,0.5*sin(2*PI*1000*t)\,0)':s=8000:d=$1" \
    -f alaw -ar 8000 -ac 1 "$4"
}

# Cut: 10 s with a key frame every 2 s; a white picture at 6.0 s and a 1 kHz
# tone that starts exactly with it and lasts 1 s.
pictures cut.h264 250 50 'if(eq(N\,150)\,235\,16)'
tone 10 6 7 cut.alaw
"$W" --video cut.h264 --alaw cut.alaw gop2_flash_at_6s.ps

# Join: three 1 s slices of one recording, each starting at a key frame,
# each with its sound (a quiet tone). The second starts 3 s after the first
# ended; the third starts with the recorder's clock back at the first's.
pictures join.h264 75 25 '16+N'
tone 3 0 3 join.alaw
for i in 0 1 2; do
  head -c $(( (i + 1) * 8000 )) join.alaw | tail -c 8000 > slice.alaw
  start=$(( 90000 + i * 90000 ))
  [ "$i" = 1 ] && start=$(( 90000 + 4 * 90000 ))
  [ "$i" = 2 ] && start=90000
  "$W" --video join.h264 --skip-pictures $(( i * 25 )) --max-pictures 25 --pts-start "$start" \
       --alaw slice.alaw "join_slice$((i + 1)).ps"
done
# The same recorder at another picture size: a join across it needs two files.
"$W" --video h264_320x180_25fps.h264 --max-pictures 25 --pts-start $(( 90000 + 2 * 90000 )) \
     --alaw slice.alaw join_320x180.ps
rm cut.h264 cut.alaw join.h264 join.alaw slice.alaw
