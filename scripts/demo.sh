#!/usr/bin/env bash
# Builds the tool, writes the demo datastores with the builder and runs the
# main jobs on them: information pane, tree, an export, and the three scans.
# With a display, the desktop program starts afterwards with the demo ready.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target datumsift mkdatastore $( [ -n "${DISPLAY:-}" ] && echo datumsift-gui )

demo=demo
"$build/tools/mkdatastore" demo "$demo" >/dev/null
"$build/tools/mkdatastore" formatted "$demo" >/dev/null
ds="$build/src/cli/datumsift"
img="$demo/demo.img"

run() { echo "\$ datumsift $*"; "$ds" "$@" || echo "(exit $?)"; echo; }
run -d "$img" info
run -d "$img" tree
run -d "$img" ls -l /vm1
run -d "$img" export /vm1/vm1.log "$demo/vm1.log"
run -d "$img" deleted
run -d "$img" vmdk
run -d "$demo/formatted.img" formatted --tree

if [ -n "${DISPLAY:-}" ] && [ -x "$build/src/app/datumsift-gui" ]; then
  echo "starting the window: FILE > DISKS SETTING > add disk > 打开镜像文件, choose $img, start sector 2048"
  "$build/src/app/datumsift-gui" &
fi
