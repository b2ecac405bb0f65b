#!/usr/bin/env bash
# Converts many recordings at once with GNU parallel, one trelvo-convert per
# file, and collects one JSON result per file.
#
#   scripts/convert-batch.sh [-j JOBS] [-f mp4|avi] [-o OUTDIR] [-r RESULTS] FILE...
#   find /rec -name '*.ps' -print0 | scripts/convert-batch.sh -o /out -r res.jsonl -
#
# "-" reads NUL-separated names from stdin (any byte may be in a name).
# RESULTS (default results.jsonl) gets one line per file as `trelvo-convert
# --json` writes it. Exit status: 0 every file converted whole, 1 otherwise.
# Running it again is safe: each output is replaced only by a complete one.
set -uo pipefail

jobs=$(nproc 2>/dev/null || echo 2)
format=mp4
outdir=
results=results.jsonl
while getopts "j:f:o:r:h" opt; do
  case $opt in
    j) jobs=$OPTARG ;;
    f) format=$OPTARG ;;
    o) outdir=$OPTARG ;;
    r) results=$OPTARG ;;
    *) sed -n '2,12s/^# \{0,1\}//p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || { echo "convert-batch.sh: no input files" >&2; exit 2; }
command -v parallel >/dev/null || { echo "convert-batch.sh: GNU parallel is not installed" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
converter=${TRELVO_CONVERT:-}
if [ -z "$converter" ]; then
  if [ -x "$here/../build/bin/trelvo-convert" ]; then converter=$here/../build/bin/trelvo-convert
  else converter=$(command -v trelvo-convert) || { echo "convert-batch.sh: trelvo-convert not found" >&2; exit 2; }
  fi
fi

args=(--json --quiet --format "$format")
[ -n "$outdir" ] && args+=(--output-dir "$outdir")

: > "$results"
# --group keeps each file's line whole; a failed file does not stop the rest.
if [ "$1" = "-" ]; then
  parallel -0 -q --group --jobs "$jobs" "$converter" "${args[@]}" -- {} >> "$results"
else
  parallel -q --group --jobs "$jobs" "$converter" "${args[@]}" -- {} ::: "$@" >> "$results"
fi
status=$?
[ $status -eq 0 ] && exit 0 || exit 1
