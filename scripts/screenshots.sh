#!/usr/bin/env bash
# Makes the README's screenshots of the desktop window, in English and German,
# under a virtual X server: during a run, after it (default size and
# 1200x800) and the settings dialog. Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target trelvo_screenshot trelvo_lang_files
bin="$build/bin"
config="$bin/Config.ini"
# The tool reads the language from the program directory's Config.ini; put
# back whatever was there.
saved=""
if [ -e "$config" ]; then saved=$(mktemp); cp "$config" "$saved"; fi
restore() { if [ -n "$saved" ]; then mv "$saved" "$config"; else rm -f "$config"; fi; }
trap restore EXIT
for lang in English Deutsch; do
  printf '[themes]\nSolution=%s\n' "$lang" >"$config"
  xvfb-run -a -s "-screen 0 1400x1000x24" "$bin/trelvo_screenshot" "docs/window-$lang"
done
# Small files: fewer colours lose nothing on a window.
if command -v pngquant >/dev/null; then pngquant --force --ext .png docs/window-*.png; fi
ls -l docs/window-*.png
