#!/usr/bin/env bash
# The watch-folder soak, run by hand: FILES recordings (default 600) arrive
# in a watched folder in waves, renamed into place as a recorder's upload
# does, while the watcher's resident memory is sampled every second. It
# prints the memory at the first sample, at its highest and at the end, how
# many files came out, and how many were converted twice (must be 0). A
# restart at the end must convert nothing.
#   bench/soak_watch.sh [files] [jobs]
# SOAK_DIR is the scratch folder (default /tmp/trelvo-soak-watch, emptied),
# TRELVO_BUILD the build directory (default build). SOAK_RING=N removes each
# recording N arrivals later, as a recorder's ring buffer does: the journal
# then stays as small as the folder, and so must the memory.
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-600}
jobs=${2:-2}
ring=${SOAK_RING:-0}
prog=${TRELVO_BUILD:-build}/bin/trelvo-convert
dir=${SOAK_DIR:-/tmp/trelvo-soak-watch}
[ -x "$prog" ] || { echo "build trelvo-convert first" >&2; exit 1; }
rm -rf "$dir" && mkdir -p "$dir/in/a" "$dir/in/b" "$dir/out"
inputs=(tests/data/gop2_flash_at_6s.ps tests/data/mp4_beep.ts tests/data/live_long_gop.h264 tests/data/ps_h264_alaw.ps)

"$prog" -q --json --watch "$dir/in" -r -o "$dir/out" --idle 1 -j "$jobs" >"$dir/results" 2>"$dir/log" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
( sleep 1  # past the start-up
  while kill -0 "$pid" 2>/dev/null; do
    awk '/VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || true
    sleep 1
  done ) >"$dir/rss" &
sampler=$!

start=$(date +%s)
for ((i = 0; i < files; i++)); do
  src=${inputs[i % ${#inputs[@]}]}
  sub=$([ $((i % 2)) -eq 0 ] && echo a || echo b)
  ext=${src##*.}
  cp "$src" "$dir/in/$sub/.up$i.tmp"
  mv "$dir/in/$sub/.up$i.tmp" "$dir/in/$sub/rec$i.$ext"
  if (( ring > 0 && i >= ring )); then
    j=$((i - ring))
    old=${inputs[j % ${#inputs[@]}]}
    rm -f "$dir/in/$([ $((j % 2)) -eq 0 ] && echo a || echo b)/rec$j.${old##*.}"
  fi
  # In waves of 50, as recorders close their files on the hour.
  if (( i % 50 == 49 )); then sleep 2; fi
done
while [ "$(wc -l <"$dir/results")" -lt "$files" ]; do
  sleep 1
  (( $(date +%s) - start < 3600 )) || { echo "not all files came out" >&2; break; }
done
sleep 3
kill -TERM "$pid"; wait "$pid" || true
wait "$sampler" || true
elapsed=$(( $(date +%s) - start ))

# Started again over the same folder: nothing is new.
"$prog" -q --json --watch "$dir/in" -r -o "$dir/out" --idle 1 >"$dir/results2" 2>>"$dir/log" &
pid=$!
sleep 5
kill -TERM "$pid"; wait "$pid" || true
trap - EXIT

ok=$(grep -c '"result":"success"' "$dir/results" || true)
twice=$(grep -o '"input":"[^"]*"' "$dir/results" | sort | uniq -d | wc -l)
echo "files: $files  converted: $ok  converted twice: $twice  after restart: $(wc -l <"$dir/results2")  in ${elapsed} s"
awk 'NR == 1 {first = $1} {if ($1 > max) max = $1; last = $1}
     END {printf "RSS KiB: first %d  highest %d  last %d  (%d samples)\n", first, max, last, NR}' "$dir/rss"
