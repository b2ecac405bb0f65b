#!/usr/bin/env bash
# Fuzzes the stream parser and the two whole conversions (MP4 and AVI) with
# libFuzzer, in a clang build of their own (build-fuzz/). Each target starts
# from the committed fixtures, the camera fragments and the minimised finds
# in tests/fuzz/seeds/, and runs for the given time.
#   scripts/fuzz-ci.sh [seconds per target] [target...]    (default 60, all three)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(tessaro_fuzz mp4_convert_fuzz avi_convert_fuzz)
out=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTRELVO_FUZZ=ON -DTRELVO_BUILD_GUI=OFF -DTRELVO_WERROR=ON > /dev/null
cmake --build "$out" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for t in "${targets[@]}"; do
  corpus="$out/corpus/$t"
  mkdir -p "$corpus" "$out/artifacts/$t"
  for f in tests/data/*.h264 tests/data/*.h265 tests/data/*.ps tests/data/*.vob tests/data/*.m2v tests/data/*.m4v \
           tests/data/*.ts tests/data/*.m2ts \
           tests/data/realworld/*.ps tests/data/realworld/*.264 tests/data/realworld/*.h265 \
           tests/data/realworld/*.jsv tests/fuzz/seeds/"$t"/*; do
    # A pattern that matched nothing stays as it is: no file.
    [ -f "$f" ] || continue
    # Seeds stay small; libFuzzer's -max_len would cut a large one anyway.
    [ "$(stat -c %s "$f")" -le 262144 ] || continue
    seed="$corpus/seed_$(basename "$f")"
    [ -f "$seed" ] && continue
    # The parser's target takes two leading bytes that pick the chunk sizes.
    if [ "$t" = tessaro_fuzz ] && [[ "$f" != tests/fuzz/seeds/* ]]; then
      { printf '\x12\x34'; cat "$f"; } > "$seed"
    else
      cp "$f" "$seed"
    fi
  done
  echo "== $t: ${secs}s"
  # A whole conversion encodes the input's sound too: smaller inputs keep
  # the conversion targets' runs quick.
  maxlen=65536
  [ "$t" = tessaro_fuzz ] && maxlen=262144
  "$out/fuzz/$t" "$corpus" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=20 \
    -max_len=$maxlen -artifact_prefix="$out/artifacts/$t/" -print_final_stats=1 2>&1 | tail -n 25
done
