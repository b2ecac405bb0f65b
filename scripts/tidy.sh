#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over every C++ source of the
# product and the tests, two at a time; prints the warnings, exits 1 on any.
#   scripts/tidy.sh [build dir with compile_commands.json]   (default build)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/compile_commands.json" ] || { echo "configure $build first" >&2; exit 2; }
# Sources the build compiles (generated Qt files and fuzz targets aside).
files=$(git ls-files '*.cpp' | grep -vE '^(tests/fuzz|app/tools)/' |
        while read -r f; do grep -q "\"file\": \"$PWD/$f\"" "$build/compile_commands.json" && echo "$f"; done)
out=$(printf '%s\n' $files | xargs -P 2 -n 4 clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null | grep -E 'warning:|error:')
if [ -n "$out" ]; then
  printf '%s\n' "$out" | sort -u
  exit 1
fi
echo "clang-tidy: $(printf '%s\n' $files | wc -l) files, no warnings"
