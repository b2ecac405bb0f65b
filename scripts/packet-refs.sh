#!/usr/bin/env bash
# Reference packet lists: each fixture converted to MP4 and AVI, its packets
# as ffprobe reads them back (stream, pts, dts, duration, size, flags, a hash
# of the data), kept in tests/refs/. A change of timing or of what is written
# then shows in review as a diff of these lists.
#   scripts/packet-refs.sh [BUILD]                  rewrites every list
#   scripts/packet-refs.sh --format mp4|avi [BUILD] rewrites that format's lists
#   scripts/packet-refs.sh --audio [BUILD]          rewrites only lists whose
#                                                   audio lines changed
#   scripts/packet-refs.sh --check FIXTURE FORMAT BUILD   compares, prints a diff
#   scripts/packet-refs.sh --list                   the fixtures, one a line
# BUILD is the build directory (default build); FIXTURE a name from --list.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
refs="$root/tests/refs"

# Stream files only: the generators, notes and side files are not inputs.
fixtures() {
  find "$root/tests/data" "$root/samples" -type f \
    ! -name '*.sh' ! -name '*.md' ! -name '*.times' -printf '%P\t%p\n' | sort | cut -f2
}

name_of() { basename "$1"; }

path_of() {
  local f
  while read -r f; do
    if [ "$(name_of "$f")" = "$1" ]; then
      echo "$f"
      return 0
    fi
  done < <(fixtures)
  return 1
}

# The packet list of one conversion on stdout. A conversion that fails is
# part of the reference too: its exit status and which outputs it left.
packets() {
  local input="$1" fmt="$2" build="$3" work status=0 out
  # In memory where there is some: the converter flushes its output to disk
  # before naming it, which the list has no need of.
  work="$(mktemp -d -p "$(if [ -w /dev/shm ]; then echo /dev/shm; else echo "${TMPDIR:-/tmp}"; fi)")"
  "$build/bin/trelvo-convert" --quiet --format "$fmt" --output-dir "$work" "$input" >/dev/null 2>&1 || status=$?
  echo "exit $status"
  # Read by bare name, so that no temporary path reaches the list.
  (cd "$work" && for out in *; do
    [ -e "$out" ] || continue
    echo "output $out"
    # One read: the streams, then each packet. FFmpeg's own complaints about
    # damaged pictures carry addresses and are left out; a file it cannot
    # read at all says so.
    ffprobe -v quiet -show_data_hash CRC32 -of compact=p=0 \
      -show_entries stream=index,codec_type,codec_name,time_base:packet=stream_index,pts,dts,duration,size,flags,data_hash \
      "$out" || echo "ffprobe cannot read it (exit $?)"
  done)
  rm -rf "$work"
}

build_dir() {
  local b="${1:-build}"
  [ -x "$b/bin/trelvo-convert" ] || {
    echo "packet-refs: no $b/bin/trelvo-convert (build it first)" >&2
    exit 2
  }
  cd "$b" && pwd
}

if [ "${1:-}" = "--list" ]; then
  fixtures | while read -r f; do name_of "$f"; done
  exit 0
fi

if [ "${1:-}" = "--check" ]; then
  [ $# -eq 4 ] || {
    echo "usage: packet-refs.sh --check FIXTURE FORMAT BUILD" >&2
    exit 2
  }
  build="$(build_dir "$4")"
  input="$(path_of "$2")" || {
    echo "packet-refs: no fixture named $2" >&2
    exit 2
  }
  ref="$refs/$2.$3.txt"
  [ -f "$ref" ] || {
    echo "packet-refs: no reference $ref; run scripts/packet-refs.sh to write it" >&2
    exit 1
  }
  if ! diff -u --label "reference $2.$3" --label "now" "$ref" <(packets "$input" "$3" "$build"); then
    echo "packet-refs: $2 as $3 differs from its reference (scripts/packet-refs.sh rewrites it)" >&2
    exit 1
  fi
  exit 0
fi

formats=(mp4 avi)
audio_only=0
build_arg=build
while [ $# -gt 0 ]; do
  case "$1" in
    --format)
      formats=("${2:?--format takes mp4 or avi}")
      shift 2
      ;;
    --audio)
      audio_only=1
      shift
      ;;
    -*)
      echo "packet-refs: unknown option $1" >&2
      exit 2
      ;;
    *)
      build_arg="$1"
      shift
      ;;
  esac
done
build="$(build_dir "$build_arg")"
mkdir -p "$refs"

# The names must not collide, as they name the lists.
dup="$(fixtures | while read -r f; do name_of "$f"; done | sort | uniq -d)"
[ -z "$dup" ] || {
  echo "packet-refs: two fixtures named $dup" >&2
  exit 2
}

# Audio lines are those of a stream that ffprobe calls audio.
video_lines() {
  awk -F'|' 'NR == FNR { if ($0 ~ /^index=/ && $0 ~ /codec_type=audio/) audio["stream_" $1] = 1; next }
             /^stream_index=/ && ($1 in audio) { next }
             { print }' "$1" "$1"
}

fixtures | while read -r f; do
  for fmt in "${formats[@]}"; do
    ref="$refs/$(name_of "$f").$fmt.txt"
    new="$(mktemp)"
    packets "$f" "$fmt" "$build" >"$new"
    if [ "$audio_only" = 1 ] && [ -f "$ref" ] && ! cmp -s <(video_lines "$ref") <(video_lines "$new"); then
      echo "packet-refs: $(name_of "$f") as $fmt changed beyond its audio; left as it was" >&2
      rm -f "$new"
      continue
    fi
    cat "$new" >"$ref"
    rm -f "$new"
  done
done
echo "packet-refs: lists written to $refs"
