#!/usr/bin/env bash
# The batch benchmark: 20 mid-sized recordings (about 20 MB each: 40 s of
# 1080p H.264 at 4 Mbit/s, a recorder's rate, with A-law sound in a program
# stream) converted to MP4 one at a time
# (-j 1) and two at a time (-j 2), and the same batch with --faststart
# against without it. Median wall time of several runs each, interleaved.
#   bench/bench_batch.sh [runs]         (default 5)
# BENCH_DIR holds the inputs (made once when missing, default
# /tmp/trelvo-bench-batch), TRELVO_BUILD the build directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=${TRELVO_BUILD:-build}
dir=${BENCH_DIR:-/tmp/trelvo-bench-batch}
prog=$build/bin/trelvo-convert
writer=$build/testbin/trelvo_ps_writer
files=20
[ -x "$prog" ] && [ -x "$writer" ] || { echo "build trelvo-convert and trelvo_ps_writer first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
mkdir -p "$dir/in" "$dir/out"

# One recording, copied under 20 names.
if [ "$(ls "$dir/in" | wc -l)" -ne "$files" ]; then
  # Noise keeps the encoder from compressing the test pattern to nothing.
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 \
    -vf noise=alls=12:allf=t -t 40 -pix_fmt yuv420p -c:v libx264 -preset ultrafast \
    -b:v 4M -maxrate 4M -bufsize 8M -g 50 -threads 2 "$dir/one.h264"
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=f=1000:d=40:r=8000" -f alaw "$dir/tone.alaw"
  "$writer" --video "$dir/one.h264" --alaw "$dir/tone.alaw" "$dir/one.ps" 2>/dev/null
  for i in $(seq -w 1 "$files"); do cp "$dir/one.ps" "$dir/in/cam$i.ps"; done
  rm -f "$dir/one.h264" "$dir/one.ps" "$dir/tone.alaw"
fi
bytes=$(cat "$dir"/in/*.ps | wc -c)
echo "input: $files files, $bytes bytes in all; $runs runs each, interleaved"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
declare -A wall cpu
# timed NAME ARGS...: one run of the converter over the batch; its wall time
# and the processor time it got per wall second kept under NAME.
timed() {
  local name=$1
  shift
  rm -rf "$dir/out" && mkdir -p "$dir/out"
  sync
  /usr/bin/time -f "%e %U %S" -o "$dir/time.txt" "$prog" --quiet -o "$dir/out" "$@" "$dir"/in/*.ps >/dev/null ||
    { echo "conversion failed: $*" >&2; exit 1; }
  local e u s
  read -r e u s <"$dir/time.txt"
  wall[$name]+="$e "
  cpu[$name]+="$(echo "($u + $s) / $e" | bc -l) "
}
med() { tr ' ' '\n' <<<"${wall[$1]}" | grep . | median; }
medcpu() { tr ' ' '\n' <<<"${cpu[$1]}" | grep . | median; }
# Other work on the machine takes cores from -j 2: say how busy it was.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

for _ in $(seq "$runs"); do
  timed j1 -j 1
  timed j2 -j 2
  timed fast -j 1 --faststart
done

echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v j1="$(med j1)" -v j2="$(med j2)" -v fast="$(med fast)" -v mb="$bytes" \
    -v c1="$(medcpu j1)" -v c2="$(medcpu j2)" 'BEGIN {
  printf "median wall seconds: -j 1 %.3f, -j 2 %.3f, -j 1 --faststart %.3f\n", j1, j2, fast
  printf "processors busy (CPU time / wall time): -j 1 %.2f, -j 2 %.2f (2.00 when both cores were free)\n", c1, c2
  printf "throughput: -j 1 %.1f MB/s, -j 2 %.1f MB/s\n", mb / j1 / 1e6, mb / j2 / 1e6
  printf "-j 2 / -j 1 throughput:         %.2f   (goal >= 1.70)\n", j1 / j2
  printf "--faststart / plain wall time:  %.2f   (goal <= 1.15)\n", fast / j1
}'
