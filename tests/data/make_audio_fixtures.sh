#!/usr/bin/env bash
# Makes the program streams with MPEG audio, DVD-style LPCM and AC-3 that the
# audio tests read. FFmpeg's "mpeg" muxer writes them the way old DVRs and
# DVD tools do: no stream map, so the audio's kind must come from its bytes
# (MPEG audio) or from the private stream's sub-stream id (LPCM, AC-3).
#   make_audio_fixtures.sh
# Every file: 160x96 H.264 at 25 fps, key frame every 25 pictures, a white
# picture at 0.6 s (and at 1.4 s in the 2 s files), and a 1 kHz tone of
# 0.3 s that starts exactly with each white picture.
set -euo pipefail
cd "$(dirname "$0")"

video="nullsrc=s=160x96:r=25,geq=lum='if(eq(N\,15)+eq(N\,35)\,235\,16+24*random(1))':cb=128:cr=128,format=yuv420p"
tone="aevalsrc='if(between(t\,0.6\,0.9)+between(t\,1.4\,1.7)\,0.5*sin(2*PI*1000*t)\,0)'"

# (fatal: the muxer complains of its own buffer model for LPCM at every packet.)
# make OUT SECONDS RATE LAYOUT AUDIO-CODEC-OPTIONS...
make() {
  local out=$1 seconds=$2 rate=$3 layout=$4
  shift 4
  ffmpeg -hide_banner -loglevel fatal -y -f lavfi -i "$video" -f lavfi -i "$tone:s=$rate:c=$layout" -t "$seconds" \
    -c:v libx264 -preset veryfast -g 25 -bf 0 -b:v 150k -x264-params log-level=error:repeat-headers=1 \
    "$@" -packetsize 512 -f mpeg "$out"
}

# MPEG-1 Layer II, 48 kHz stereo (1152 samples a frame).
make ps_h264_mp2_nomap.ps 2 48000 stereo -c:a mp2 -b:a 64k
# MPEG-2 Layer III at 22.05 kHz mono (576 samples a frame).
make ps_h264_mp3_nomap.ps 2 22050 mono -c:a libmp3lame -b:a 32k
# LPCM in private stream 1, 1 s: 16-bit 32 kHz stereo, and 24-bit 48 kHz mono
# (the only rates besides 96 kHz that FFmpeg writes at 24 bits).
make ps_h264_lpcm16.ps 1 32000 stereo -c:a pcm_s16be
make ps_h264_lpcm24.ps 1 48000 mono -c:a pcm_dvd -sample_fmt s32
# B-frames, 2 s: the muxer stamps only the first picture that starts in a
# packet, so the B-frames between go without a time of their own.
# (Moving test pictures: on the noise x264 chooses no B-frames at all.)
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=s=160x96:r=25 -f lavfi -i "$tone:s=48000:c=stereo" -t 2 \
  -c:v libx264 -preset veryfast -g 25 -b:v 150k -x264-params log-level=error:repeat-headers=1:bframes=3:b-adapt=0 \
  -c:a mp2 -b:a 64k -packetsize 512 -f mpeg ps_h264_bframes_mp2_nomap.ps
# AC-3 in private stream 1: sound no writer here converts.
make ps_h264_ac3.ps 1 48000 mono -c:a ac3 -b:a 64k
