#!/usr/bin/env bash
# Makes the transport-stream fixtures with FFmpeg's mpegts muxer: flash and
# beep (a white picture at 1 s and 3 s, a 1 kHz tone of 0.2 s starting with
# each) as 188-byte TS, as 192-byte M2TS, as 204-byte packets, and damaged.
# Needs the ffmpeg CLI (libx264, libx265) and python3.
set -euo pipefail
cd "$(dirname "$0")"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
flash="nullsrc=s=160x96:r=25,geq=lum='if(eq(mod(N\,50)\,25)\,235\,16)':cb=128:cr=128,format=yuv420p"
tone="if(gte(t\,1)*lt(mod(t-1\,2)\,0.2)\,0.5*sin(2*PI*1000*t)\,0)"

# H.264 with B-frames and AAC (ADTS, 16 kHz stereo), key frame every 20.
ff -f lavfi -i "$flash" -f lavfi -i "aevalsrc='$tone':s=16000:c=stereo:d=4" -frames:v 100 \
   -c:v libx264 -preset veryfast -g 20 -keyint_min 20 -sc_threshold 0 -b:v 30k \
   -x264-params log-level=error:bframes=3:b-pyramid=normal:repeat-headers=1 \
   -c:a aac -b:a 24k -f mpegts ts_h264_aac.ts

# The same without B-frames: the first picture shows when it is decoded.
ff -f lavfi -i "$flash" -f lavfi -i "aevalsrc='$tone':s=16000:c=stereo:d=4" -frames:v 100 \
   -c:v libx264 -preset veryfast -g 20 -keyint_min 20 -sc_threshold 0 -b:v 30k \
   -x264-params log-level=error:bframes=0:repeat-headers=1 -c:a aac -b:a 24k -f mpegts ts_h264_aac_ipp.ts

# H.265 (open GOPs as x265 makes them) and AAC in the 192-byte form.
ff -f lavfi -i "$flash" -f lavfi -i "aevalsrc='$tone':s=16000:c=mono:d=4" -frames:v 100 \
   -c:v libx265 -preset ultrafast -b:v 30k -x265-params log-level=error:keyint=20:repeat-headers=1 \
   -c:a aac -b:a 16k -f mpegts -mpegts_m2ts_mode 1 ts_h265_aac.m2ts

# H.264 and MPEG audio Layer II (a stream type the video side does not need).
ff -f lavfi -i "$flash" -f lavfi -i "aevalsrc='$tone':s=32000:c=mono:d=2" -frames:v 50 \
   -c:v libx264 -preset veryfast -g 25 -b:v 30k -x264-params log-level=error:bframes=0 \
   -c:a mp2 -b:a 32k -f mpegts ts_h264_mp2.ts

# MPEG-2 video, which is named and refused.
ff -f lavfi -i "$flash" -frames:v 10 -c:v mpeg2video -b:v 100k -f mpegts ts_mpeg2.ts

# The first as 204-byte packets (16 bytes of parity after each), and damaged:
# one packet lost in the middle, junk bytes between two others.
python3 - <<'PY'
data = open('ts_h264_aac.ts', 'rb').read()
pk = [data[i:i + 188] for i in range(0, len(data), 188)]
open('ts_h264_aac_204.ts', 'wb').write(b''.join(p + bytes(16) for p in pk))
mid = len(pk) // 2
damaged = pk[:mid] + pk[mid + 1:mid + 40] + [b'\x47junk' * 20] + pk[mid + 40:]
open('ts_h264_damaged.ts', 'wb').write(b''.join(damaged))
PY
