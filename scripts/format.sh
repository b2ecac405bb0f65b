#!/usr/bin/env bash
# Applies .clang-format to every C and C++ source of the project, or with
# --check lists the files it would change and exits 1 when there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--check" ]; then
  bad=$(for f in $files; do clang-format --style=file "$f" | cmp -s - "$f" || echo "$f"; done)
  if [ -n "$bad" ]; then
    echo "not formatted (scripts/format.sh):"
    echo "$bad"
    exit 1
  fi
  echo "clang-format: $(echo "$files" | wc -w) files formatted"
  exit 0
fi
printf '%s\n' $files | xargs clang-format --style=file -i
