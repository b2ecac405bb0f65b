#!/usr/bin/env bash
# Makes the program-stream fixtures of the stream-parser tests from the
# elementary-stream fixtures (make_es_fixtures.sh) with our own test writer.
#   make_ps_fixtures.sh [path/to/trelvo_ps_writer]
# Needs python3 for the SPS rewrite below.
set -euo pipefail
cd "$(dirname "$0")"
W=${1:-../../build/testbin/trelvo_ps_writer}
[ -x "$W" ] || { echo "build trelvo_ps_writer first (or name it)" >&2; exit 1; }

# An H.264 stream whose SPS carries no VUI at all, so no timing information:
# the parser must fall back to time stamps or 25.
python3 - h264_320x180_25fps.h264 h264_320x180_notiming.h264 <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()

class Bits:
    def __init__(self, b): self.b, self.p = b, 0
    def u(self, n):
        v = 0
        for _ in range(n):
            v = (v << 1) | ((self.b[self.p >> 3] >> (7 - (self.p & 7))) & 1); self.p += 1
        return v
    def ue(self):
        z = 0
        while self.u(1) == 0: z += 1
        return (1 << z) - 1 + self.u(z)

def unescape(b):
    out, z = bytearray(), 0
    for x in b:
        if z >= 2 and x == 3: z = 0; continue
        z = z + 1 if x == 0 else 0; out.append(x)
    return bytes(out)

def escape(b):
    out, z = bytearray(), 0
    for x in b:
        if z >= 2 and x <= 3: out.append(3); z = 0
        out.append(x); z = z + 1 if x == 0 else 0
    return bytes(out)

def strip_vui(nal):
    r = unescape(nal[1:]); br = Bits(r)
    profile = br.u(8); br.u(16); br.ue()
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        if br.ue() == 3: br.u(1)
        br.ue(); br.ue(); br.u(1)
        assert br.u(1) == 0, "scaling matrices not handled here"
    br.ue()
    poc = br.ue()
    if poc == 0: br.ue()
    assert poc != 1
    br.ue(); br.u(1); br.ue(); br.ue()
    if br.u(1) == 0: br.u(1)
    br.u(1)
    if br.u(1):
        for _ in range(4): br.ue()
    pos = br.p  # vui_parameters_present_flag
    bits = ''.join(str((r[i >> 3] >> (7 - (i & 7))) & 1) for i in range(pos)) + '0' + '1'
    bits += '0' * (-len(bits) % 8)
    body = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    return nal[:1] + escape(body)

out, i, n = bytearray(), 0, len(data)
starts = [k for k in range(n - 3) if data[k:k + 3] == b'\0\0\1']
for idx, s in enumerate(starts):
    e = starts[idx + 1] if idx + 1 < len(starts) else n
    while e > s + 3 and data[e - 1] == 0 and idx + 1 < len(starts): e -= 1
    nal = data[s + 3:e]
    if nal and nal[0] & 0x1f == 7: nal = strip_vui(nal)
    out += b'\0\0\0\1' + nal
open(sys.argv[2], 'wb').write(out)
PY

# H.264 with A-law; pictures split over PES packets of at most 400 bytes.
"$W" --video h264_320x180_25fps.h264 --alaw tone_8k.alaw --pes-size 400 ps_h264_alaw.ps
# The same with mu-law: the other camera of a join whose sound differs only in
# its G.711 law.
"$W" --video h264_320x180_25fps.h264 --ulaw tone_8k.ulaw --pes-size 400 ps_h264_ulaw.ps
# H.265 at 30 fps with mu-law in 1600-byte audio packets (more than one
# writer record each).
"$W" --video h265_352x288_30fps.h265 --fps 30 --ulaw tone_8k.ulaw --audio-pes 1600 ps_h265_ulaw.ps
# No stream map and no VUI timing: codec from the units, audio taken as
# A-law, rate from the 30 fps time stamps.
"$W" --video h264_320x180_notiming.h264 --fps 30 --alaw tone_8k.alaw --no-map ps_h264_nomap_30fps.ps
# Damage: starts at picture 5 (inside the first GOP), junk after key-frame
# packs, stuffing that is not 0xFF, PES without time stamps, cut off inside
# the last picture.
"$W" --video h264_320x180_25fps_repeat.h264 --skip-pictures 5 --junk 37 --odd-stuffing --no-pts \
     --pes-size 700 ps_h264_damaged_full.ps
size=$(stat -c %s ps_h264_damaged_full.ps)
head -c $((size - 100)) ps_h264_damaged_full.ps > ps_h264_damaged.ps
rm ps_h264_damaged_full.ps

# B-frames with the muxer's presentation and decoding times (a decoding time
# equal to the presentation time left out, as muxers do), with A-law.
"$W" --video h264_bframes.h264 --times h264_bframes.times --alaw tone_8k.alaw ps_h264_bframes.ps
# H.265 B-frames with presentation times only: decoding times must be worked
# out. mu-law.
awk '{print $1, "N/A"}' h265_bframes.times > h265_bframes_ptsonly.times
"$W" --video h265_bframes.h265 --times h265_bframes_ptsonly.times --ulaw tone_8k.ulaw ps_h265_bframes_ptsonly.ps
rm h265_bframes_ptsonly.times
# 29.97 fps known only from the time stamps, starting 15 pictures before the
# 33-bit counter wraps; the recorder's clock starts again at picture 40
# (1.3 s back). A-law.
"$W" --video h264_320x180_notiming.h264 --fps 30000 --fps-den 1001 --pts-start $(( (1 << 33) - 15 * 3003 )) \
     --jump-at 40 --alaw tone_8k.alaw ps_h264_2997_wrap_jump.ps
# A camera dropping frames under load: 40, 80, 40 ms between pictures.
"$W" --video h264_320x180_notiming.h264 --steps 40,80,40 ps_h264_steps.ps
# AAC (stream type 0x0F) in 200-byte packets, so frames are cut across
# packets; a 40-byte device header before the stream.
"$W" --video h264_320x180_25fps.h264 --aac tone_16k_stereo.aac --audio-pes 200 --file-header 40 ps_h264_aac.ps
# The same without a map: the audio is known by its ADTS headers.
"$W" --video h264_320x180_25fps.h264 --aac tone_16k_stereo.aac --audio-pes 200 --no-map ps_h264_aac_nomap.ps
# mu-law that starts before the first stream map (the first key frame goes
# without one; the next, half a second on, has it).
"$W" --video h265_352x288_30fps.h265 --fps 30 --ulaw tone_8k.ulaw --map-after 6 ps_h265_ulaw_late_map.ps
# MPEG-2 video named by the map, with A-law audio that must still come out;
# MPEG-4 Visual with and without a map.
"$W" --video mpeg2_160x96.m2v --video-type 0x02 --alaw tone_8k.alaw ps_mpeg2_alaw.ps
"$W" --video mpeg4_160x96.m4v --video-type 0x10 ps_mpeg4.ps
"$W" --video mpeg4_160x96.m4v --no-map ps_mpeg4_nomap.ps
# H.264 for 30 pictures, then the recorder switches to H.265 (a new map),
# the clock going on.
"$W" --video h264_320x180_25fps.h264 --max-pictures 30 h264_part.ps
"$W" --video h265_352x288_30fps.h265 --fps 30 --pts-start $((90000 + 30 * 3600)) h265_part.ps
cat h264_part.ps h265_part.ps > ps_h264_then_h265.ps
rm h264_part.ps h265_part.ps
# Four slices per picture spread over 300-byte packets; and a file of one
# picture.
"$W" --video h264_slices.h264 --pes-size 300 ps_h264_slices.ps
"$W" --video h264_320x180_25fps.h264 --max-pictures 1 ps_h264_one.ps
# Flash and beep as a recorder writes them: 160x96 black at 25 fps with a white
# picture at 1.0 s and 3.0 s and a 1 kHz tone starting exactly with each, in
# A-law. Key frame every 20 pictures, so each flash falls mid-GOP. The
# recording starts at picture 5 (0.2 s), mid-GOP, with its sound from there on,
# so sound comes before the first key frame.
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "nullsrc=s=160x96:r=25,geq=lum='if(eq(mod(N\,50)\,25)\,235\,16)':cb=128:cr=128,format=yuv420p" \
  -frames:v 100 -c:v libx264 -preset veryfast -g 20 -keyint_min 20 -sc_threshold 0 -b:v 20k \
  -x264-params log-level=error:bframes=0:repeat-headers=1 flash_plain.h264
tail -c +1601 mp4_beep.alaw > beep_from_02.alaw
"$W" --video flash_plain.h264 --alaw beep_from_02.alaw --skip-pictures 5 ps_flash_midgop.ps
# The same pictures with B-frames, and times as a muxer gives them. The writer
# starts the sound at the first decoding time; the first picture shows the
# reordering delay later, and the sound waits as long.
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "nullsrc=s=160x96:r=25,geq=lum='if(eq(mod(N\,50)\,25)\,235\,16)':cb=128:cr=128,format=yuv420p" \
  -frames:v 100 -c:v libx264 -preset veryfast -g 20 -keyint_min 20 -sc_threshold 0 -b:v 20k \
  -x264-params log-level=error:bframes=3:b-pyramid=normal:repeat-headers=1 -f mpegts flash_b.ts
ffmpeg -hide_banner -loglevel error -y -i flash_b.ts -c copy -f h264 flash_b.h264
ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts -of csv=p=0 flash_b.ts | tr ',' ' ' > flash_b.times
delay=$(awk 'NR==1 {print int(($1 - $2) * 8000 / 90000)}' flash_b.times)
{ head -c "$delay" /dev/zero | tr '\0' '\325'; cat mp4_beep.alaw; } > beep_delayed.alaw
"$W" --video flash_b.h264 --times flash_b.times --alaw beep_delayed.alaw ps_flash_bframes.ps
rm flash_plain.h264 beep_from_02.alaw flash_b.ts flash_b.h264 flash_b.times beep_delayed.alaw
