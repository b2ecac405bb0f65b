#!/usr/bin/env bash
# Makes the stream-parser benchmark's input: a large 1080p H.264 stream at a
# high bit rate (about 160 MB), and, given the test writer, the same wrapped
# as a program stream. Written outside the repository.
#   bench/make_bench_input.sh [OUTDIR] [path/to/trelvo_ps_writer]
# then: build/testbin/bench_tessaro OUTDIR/bench_1080p.h264 [OUTDIR/bench_1080p.ps]
set -euo pipefail
out=${1:-/tmp/trelvo-bench}
writer=${2:-}
mkdir -p "$out"
# Noise keeps the encoder from compressing the test pattern to nothing.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 \
  -vf noise=alls=12:allf=t -t 10 -pix_fmt yuv420p \
  -c:v libx264 -preset ultrafast -qp 24 -g 50 -threads 2 "$out/bench_1080p.h264"
if [ -n "$writer" ]; then
  "$writer" --video "$out/bench_1080p.h264" --fps 25 "$out/bench_1080p.ps"
fi
ls -l "$out"/bench_1080p.*
