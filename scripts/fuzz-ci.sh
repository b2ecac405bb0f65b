#!/usr/bin/env bash
# Fuzzes the stream parser's C interface with libFuzzer (clang), apart from
# the main g++ build. The corpus starts from the test fixtures.
#   scripts/fuzz-ci.sh [seconds]     (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
out=build-fuzz
mkdir -p "$out/corpus" "$out/artifacts"

src=(libs/tessaro/tessaro.cpp libs/tessaro/Parser.cpp libs/tessaro/PsDemuxer.cpp
     libs/tessaro/VideoAssembler.cpp libs/tessaro/VideoInput.cpp libs/tessaro/VideoTimeline.cpp
     libs/tessaro/AudioAssembler.cpp libs/tessaro/Clock.cpp libs/tessaro/FrameRate.cpp
     libs/tessaro/PicOrder.cpp libs/tessaro/ByteBuffer.cpp libs/tessaro/ParamSets.cpp
     tests/fuzz/tessaro_fuzz.cpp)
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -DTESSARO_BUILDING \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Ilibs/tessaro "${src[@]}" -o "$out/tessaro_fuzz"

# Seeds: every fixture, behind two bytes that pick the chunk sizes.
for f in tests/data/*.h264 tests/data/*.h265 tests/data/*.ps tests/data/realworld/*.ps; do
  [ -f "$f" ] || continue
  seed="$out/corpus/seed_$(basename "$f")"
  [ -f "$seed" ] || { printf '\x12\x34' > "$seed"; cat "$f" >> "$seed"; }
done

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$out/tessaro_fuzz" "$out/corpus" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 \
  -max_len=262144 -artifact_prefix="$out/artifacts/" -print_final_stats=1
