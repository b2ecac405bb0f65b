#!/usr/bin/env bash
# Converts a large 1080p H.264 stream to MP4 with trelvo-convert and with
# ffmpeg's stream copy, several times each, and prints the median wall times,
# their ratio and our peak resident memory.
#   bench/bench_convert.sh [runs]       (default 3)
# BENCH_INPUT overrides the input (made once under /tmp when missing),
# TRELVO_BUILD the build directory (default build), BENCH_FORMAT our output
# format (default mp4; avi times the AVI library against the same reference).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
build=${TRELVO_BUILD:-build}
work=/tmp/trelvo_bench
# The parser benchmark's input is the same kind of stream: share it.
shared=/tmp/trelvo-bench
input=${BENCH_INPUT:-$shared/bench_1080p.h264}
prog=$build/bin/trelvo-convert
format=${BENCH_FORMAT:-mp4}
mkdir -p "$work"

[ -x "$prog" ] || { echo "build $prog first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

if [ ! -s "$input" ]; then
  if [ -x bench/make_bench_input.sh ] && [ "$input" = "$shared/bench_1080p.h264" ]; then
    bench/make_bench_input.sh "$(dirname "$input")"
  else
    # About 150 MB: a minute of busy 1080p at 25 fps, key frame every 2 s.
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 60 \
      -vf noise=alls=12:allf=t -pix_fmt yuv420p -c:v libx264 -preset ultrafast -g 50 -bf 0 \
      -b:v 20M -maxrate 20M -bufsize 20M -x264-params log-level=error "$input"
  fi
fi
echo "input: $input ($(stat -c %s "$input") bytes), trelvo-convert --format $format"

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

ours=() theirs=() rss=()
for i in $(seq "$runs"); do
  rm -f "$work/bench_1080p.$format" "$work/ffmpeg.mp4"
  sync
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$prog" --quiet --format "$format" --output-dir "$work" "$input" >/dev/null 2>&1
  read -r secs kb <"$work/time.txt"
  ours+=("$secs"); rss+=("$kb")
  /usr/bin/time -f "%e %M" -o "$work/time.txt" \
    ffmpeg -hide_banner -loglevel error -y -r 25 -i "$input" -c copy "$work/ffmpeg.mp4" </dev/null
  read -r secs _ <"$work/time.txt"
  theirs+=("$secs")
  echo "run $i: trelvo-convert ${ours[-1]} s (peak RSS ${rss[-1]} KiB), ffmpeg ${theirs[-1]} s"
done

m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_theirs=$(printf '%s\n' "${theirs[@]}" | median)
max_rss=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
awk -v o="$m_ours" -v t="$m_theirs" -v r="$max_rss" 'BEGIN {
  printf "median: trelvo-convert %.2f s, ffmpeg %.2f s, ratio %.2f (goal <= 0.50)\n", o, t, (t > 0 ? o / t : 0)
  printf "peak RSS of trelvo-convert: %.1f MiB (goal <= 30)\n", r / 1024
}'
