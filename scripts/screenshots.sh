#!/usr/bin/env bash
# Starts the program's window (driven by tools/k5window) under a virtual X server on a
# tiny demo folder, presses "Выполнить" and saves pictures of the main window after the
# run and of the About window into docs/ (main-window.png, about-window.png), and of the
# main window at its minimum size (main-window-minimum.png).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target k5window k5demo -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/k5demo" "$work/db" --scale tiny --seed 1 >/dev/null
# The folder comes from the product settings, as on an installed machine.
mkdir -p "$work/etc/Seltaris" "$work/data"
printf '[General]\nDataBasePath=%s\n' "$work/db" >"$work/etc/Seltaris/Korund5.conf"

mkdir -p docs
XDG_CONFIG_DIRS="$work/etc" XDG_DATA_HOME="$work/data" \
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  "$build/tools/k5window" --screenshot-dir docs
shots=$(mktemp -d)
XDG_CONFIG_DIRS="$work/etc" XDG_DATA_HOME="$work/data" \
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  "$build/tools/k5window" --minimum --screenshot-dir "$shots"
mv "$shots/main-window.png" docs/main-window-minimum.png
rm -rf "$shots"
ls -l docs/main-window.png docs/main-window-minimum.png docs/about-window.png
