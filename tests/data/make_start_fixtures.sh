#!/usr/bin/env bash
# Makes the fixtures of streams that do not begin with an IDR picture, as a
# recording that starts part way through a camera's stream does:
#   make_start_fixtures.sh [path/to/trelvo_ps_writer]
# Needs the ffmpeg CLI (libx264, libx265) and python3.
set -euo pipefail
cd "$(dirname "$0")"
W=${1:-../../build/testbin/trelvo_ps_writer}
[ -x "$W" ] || { echo "build trelvo_ps_writer first (or name it)" >&2; exit 1; }
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# Keeps the access units from the Nth on (counted by their delimiters, 0 the
# first): the stream as a recorder that started there wrote it.
cut_at() {
    python3 - "$@" <<'PY'
import sys
src, dst, first, codec = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
d = open(src, 'rb').read()
aud = 35 if codec == 'h265' else 9
starts, i = [], d.find(b'\0\0\1')
while i >= 0:
    t = (d[i + 3] >> 1) & 0x3F if codec == 'h265' else d[i + 3] & 0x1F
    if t == aud:
        starts.append(i - 1 if i > 0 and d[i - 1] == 0 else i)
    i = d.find(b'\0\0\1', i + 3)
open(dst, 'wb').write(d[starts[first]:])
PY
}

# Periodic intra refresh: one IDR at the very start, then a recovery point
# (with its parameter sets) every 25 pictures and no I picture at all. Cut at
# the first recovery point after the IDR: 75 pictures, none of them intra.
ff -f lavfi -i testsrc2=s=320x180:r=25 -frames:v 100 -c:v libx264 -preset veryfast -b:v 200k \
   -x264-params log-level=error:intra-refresh=1:keyint=25:bframes=0:repeat-headers=1:aud=1 -f h264 ir.h264
cut_at ir.h264 h264_intra_refresh_cut.h264 25 h264

# An open group of pictures cut at a non-IDR I picture (picture 24 in decoding
# order): the B picture after it is shown before it and refers to the group
# before, so it cannot be decoded. 76 pictures, 75 decodable.
ff -f lavfi -i testsrc2=s=320x180:r=25 -frames:v 100 -c:v libx264 -preset veryfast -b:v 200k \
   -x264-params log-level=error:open-gop=1:keyint=25:min-keyint=25:scenecut=0:bframes=3:b-pyramid=normal:repeat-headers=1:aud=1 \
   -f h264 og.h264
cut_at og.h264 h264_opengop_cut.h264 24 h264

# H.265 open GOP cut at a CRA (unit 21 in decoding order) followed by three
# RASL pictures: 79 pictures, 76 decodable.
ff -f lavfi -i testsrc2=s=320x180:r=25 -frames:v 100 -c:v libx265 -preset veryfast -b:v 200k \
   -x265-params log-level=error:open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:b-adapt=0:repeat-headers=1:aud=1 \
   -f hevc cra.h265
cut_at cra.h265 h265_cra_cut.h265 21 h265

# The same cut in a program stream with times as a muxer gives them and
# A-law sound: black with a white picture at 1.0 s and 3.0 s and a 1 kHz tone
# starting exactly with each (mp4_beep.alaw). The sound starts at the cut's
# first decoding time, as a recorder that started there would write it.
ff -f lavfi -i "nullsrc=s=320x180:r=25,geq=lum='if(eq(mod(N\,50)\,25)\,235\,16)':cb=128:cr=128,format=yuv420p" \
   -frames:v 125 -c:v libx265 -preset veryfast -b:v 100k \
   -x265-params log-level=error:open-gop=1:keyint=24:min-keyint=24:scenecut=0:bframes=3:b-adapt=0:repeat-headers=1:aud=1 \
   -f mpegts flash_cra.ts
ff -i flash_cra.ts -c copy -f hevc flash_cra.h265
ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts -of csv=p=0 flash_cra.ts | grep . | tr ',' ' ' > flash_cra.times
cut_at flash_cra.h265 flash_cra_cut.h265 21 h265
tail -n +22 flash_cra.times > flash_cra_cut.times
# Audio byte 0 plays at the cut's first decoding time; the tone file begins
# with the first picture shown.
first_pts=$(awk 'NR == 1 || $1 < m {m = $1} END {print m}' flash_cra.times)
cut_dts=$(head -1 flash_cra_cut.times | awk '{print $2}')
skip=$(( (cut_dts - first_pts) * 8000 / 90000 ))
tail -c +$((skip + 1)) mp4_beep.alaw > beep_cut.alaw
"$W" --video flash_cra_cut.h265 --times flash_cra_cut.times --alaw beep_cut.alaw ps_h265_cra_alaw.ps
rm ir.h264 og.h264 cra.h265 flash_cra.ts flash_cra.h265 flash_cra.times flash_cra_cut.h265 flash_cra_cut.times beep_cut.alaw
