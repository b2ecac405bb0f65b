#!/usr/bin/env bash
# The conversion benchmark: trelvo-convert (MP4 and AVI) against ffmpeg's
# stream copy, cat, the bare start-up of a program linked to FFmpeg and a
# durable copy (what writing the output safely costs on this disk), all on
# the same input and in one run, several runs each; then the peak memory of
# the converter on inputs from 10 MB to 2 GB.
#   bench/bench_convert.sh [runs]       (default 5)
# BENCH_DIR holds the inputs (made once when missing, default
# /tmp/trelvo-bench), TRELVO_BUILD the build directory (default build),
# BENCH_BIG=0 leaves out the 2 GB input.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=${TRELVO_BUILD:-build}
dir=${BENCH_DIR:-/tmp/trelvo-bench}
work=$dir/work
prog=$build/bin/trelvo-convert
startup=$build/testbin/bench_ffmpeg_startup
durable=$build/testbin/bench_durable_copy
mkdir -p "$work"

[ -x "$prog" ] && [ -x "$startup" ] && [ -x "$durable" ] ||
  { echo "build $prog, bench_ffmpeg_startup and bench_durable_copy first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

input=$dir/bench_1080p.h264
[ -s "$input" ] || bench/make_bench_input.sh "$dir" >/dev/null
pictures=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$input")
[ "${pictures:-0}" -gt 0 ] || { echo "ffprobe found no pictures in $input" >&2; exit 1; }
piece_kib=$(( $(stat -c %s "$input") / pictures / 1024 ))
echo "input: $input, $(stat -c %s "$input") bytes, $pictures pictures; $runs runs each, interleaved"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
# timed NAME CMD...: wall seconds and peak KiB of one run, kept under NAME.
declare -A wall rss
timed() {
  local name=$1
  shift
  local t0 t1 s k
  t0=$(date +%s%N)
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 </dev/null || true
  t1=$(date +%s%N)
  read -r s k <"$work/time.txt"
  # Wall time to the microsecond; /usr/bin/time gives hundredths only.
  wall[$name]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }') "
  rss[$name]+="$k "
}
med() { tr ' ' '\n' <<<"${wall[$1]}" | grep . | median; }
# spread A B GOAL: A's wall time over B's run by run (the runs are paired),
# so that a median near the goal shows how often a single run meets it.
spread() {
  paste <(tr ' ' '\n' <<<"${wall[$1]}" | grep .) <(tr ' ' '\n' <<<"${wall[$2]}" | grep .) |
    awk -v goal="$3" '{ r = $1 / $2; lo = NR == 1 || r < lo ? r : lo; hi = NR == 1 || r > hi ? r : hi; n += r <= goal }
      END { printf "per run %.2f-%.2f, %d of %d at or under %.2f", lo, hi, n, NR, goal }'
}
medrss() { tr ' ' '\n' <<<"${rss[$1]}" | grep . | median; }

# A deleted file that was flushed gives its blocks back (on a disk mounted
# with discard, discards them) in the next journal commit, and the next fsync
# forces that commit: it is done here, untimed, so that a run that flushes
# its output pays for its own work only.
settle() { rm -f "$@"; sync -f "$work"; }
for i in $(seq "$runs"); do
  settle "$work"/*.mp4 "$work"/*.avi "$work"/cat.out
  timed mp4 "$prog" --quiet --output-dir "$work" "$input"
  timed avi "$prog" --quiet --format avi --output-dir "$work" "$input"
  timed ffmpeg_mp4 ffmpeg -nostdin -loglevel error -y -r 25 -i "$input" -c copy "$work/ff.mp4"
  timed ffmpeg_avi ffmpeg -nostdin -loglevel error -y -r 25 -i "$input" -c copy "$work/ff.avi"
  timed cat sh -c "cat '$input' > '$work/cat.out'"
  rm -f "$work/cat.out"
  timed durable "$durable" "$input" "$work/durable.out"
  settle "$work/durable.out"
  timed durable_pieces "$durable" "$input" "$work/durable.out" "$piece_kib"
  settle "$work/durable.out"
  timed startup "$startup"
  timed true true
done

mp4spread=$(spread mp4 ffmpeg_mp4 0.30)
avispread=$(spread avi ffmpeg_avi 0.30)
durspread=$(spread durable ffmpeg_avi 0.30)
piecespread=$(spread durable_pieces ffmpeg_avi 0.30)
awk -v mp4="$(med mp4)" -v avi="$(med avi)" -v fmp4="$(med ffmpeg_mp4)" -v favi="$(med ffmpeg_avi)" \
    -v cat="$(med cat)" -v st="$(med startup)" -v tr="$(med true)" -v dur="$(med durable)" \
    -v durp="$(med durable_pieces)" -v kib="$piece_kib" -v spiece="$piecespread" \
    -v smp4="$mp4spread" -v savi="$avispread" -v sdur="$durspread" -v rmp4="$(medrss mp4)" -v ravi="$(medrss avi)" -v rff="$(medrss ffmpeg_mp4)" 'BEGIN {
  printf "median wall seconds: trelvo mp4 %.3f, trelvo avi %.3f, ffmpeg mp4 %.3f, ffmpeg avi %.3f, cat %.3f, ffmpeg-linked start-up %.3f, true %.3f\n", mp4, avi, fmp4, favi, cat, st, tr
  printf "MP4 / ffmpeg copy:              %.2f   (goal <= 0.30; %s)\n", mp4 / fmp4, smp4
  printf "AVI / ffmpeg copy:              %.2f   (goal <= 0.30; %s)\n", avi / favi, savi
  printf "MP4 own work / cat:             %.2f   (own work = wall - start-up %.3f s; goal <= 2.2)\n", (mp4 - st) / cat, st
  printf "AVI own work / cat:             %.2f\n", (avi - st) / cat
  printf "durable copy %.3f s: linked to FFmpeg, copies the input as outputs are written, fsync included;\n", dur
  printf "  about the least a converter that keeps its outputs safe can take: %.2f of ffmpeg mp4, %.2f of ffmpeg avi\n", dur / fmp4, dur / favi
  printf "  (against ffmpeg avi %s)\n", sdur
  printf "durable copy in %d KiB pieces, each after an 8-byte chunk header, as an AVI muxer writes pictures: %.3f s,\n", kib, durp
  printf "  %.2f of ffmpeg avi (%s), %.2f of ffmpeg mp4\n", durp / favi, spiece, durp / fmp4
  printf "peak RSS: trelvo mp4 %.1f MiB, avi %.1f MiB, ffmpeg %.1f MiB; mp4 / ffmpeg %.2f (goal <= 0.5)\n", rmp4/1024, ravi/1024, rff/1024, rmp4/rff
}'

# Peak memory against the input's size: it must stay flat.
small=$dir/bench_10mb.h264
[ -s "$small" ] || head -c 10000000 "$input" > "$small"
sizes=("$small" "$input")
if [ "${BENCH_BIG:-1}" != 0 ]; then
  big=$dir/bench_2gb.h264
  if [ ! -s "$big" ]; then
    : > "$big"
    while [ "$(stat -c %s "$big")" -lt 2000000000 ]; do cat "$input" >> "$big"; done
  fi
  sizes+=("$big")
fi
for f in "${sizes[@]}"; do
  for fmt in mp4 avi; do
    settle "$work"/*.mp4 "$work"/*.avi
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$prog" --quiet --format $fmt --output-dir "$work" "$f" >/dev/null 2>&1
    read -r s k <"$work/time.txt"
    printf "peak RSS %s %-4s %6.1f MiB  (%s s, input %d MB)\n" "$(basename "$f")" "$fmt" "$(awk -v k="$k" 'BEGIN{print k/1024}')" "$s" $(( $(stat -c %s "$f") / 1000000 ))
  done
done
rm -f "$work"/*.mp4 "$work"/*.avi
