#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
#   scripts/test.sh              build/ (the program directory is build/bin/)
#   scripts/test.sh --sanitize   build-asan/, under AddressSanitizer + UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

dir=build
args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELVO_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  args=(-DCMAKE_BUILD_TYPE=Debug -DTRELVO_SANITIZE=ON -DTRELVO_WERROR=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  [ -f tests/lsan.supp ] && export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
fi
export QT_QPA_PLATFORM=offscreen

cmake -S . -B "$dir" -G Ninja "${args[@]}"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j2
