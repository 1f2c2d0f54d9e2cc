#!/usr/bin/env bash
# Renders the main window (as it opens, its File menu, after a browse, its
# tree's details columns, in English and after each scan), the disk settings
# window and the About window to docs/screenshots/*.png, offscreen, on the
# demo and formatted datastores of the image builder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DDATUMSIFT_GUI=ON >/dev/null
cmake --build "$build" -j2 --target mkdatastore datumsift-screenshots
# A fixed folder, so that the paths the pictures show stay the same from run to run.
work=/tmp/datumsift-screenshots
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
"$build"/tools/mkdatastore demo "$work" >/dev/null
"$build"/tools/mkdatastore formatted "$work" >/dev/null
mkdir -p docs/screenshots
QT_QPA_PLATFORM=offscreen "$build"/src/app/datumsift-screenshots docs/screenshots "$work/demo.img" "$work/formatted.img"
