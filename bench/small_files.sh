#!/bin/sh
# Many small files: export -r of /small against cp -r of the same tree from
# the mount followed by one sync, side by side, on the same host disk.
#   bench/small_files.sh BUILD_DIR WORK_DIR [DATUMSIFT] [COUNT]
# WORK_DIR gets the image (COUNT files in 40 folders, 20,000 when not given;
# a smaller count for quick trials) and the copies.
set -eu
build=$1 work=$2 ds=${3:-$1/src/cli/datumsift} count=${4:-20000}
mkdir -p "$work"
img=$work/small.img mnt=$work/mnt
[ "$count" = 20000 ] || img=$work/small-$count/small.img
[ -f "$img" ] || "$build/tools/mkdatastore" small "$(dirname "$img")" "$count" >/dev/null
rm -rf "$work/cp" "$work/ex" "$work/ex.manifest.json"
mkdir -p "$mnt"
"$ds" -d "$img" mount "$mnt"
trap 'fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt"' EXIT
now() { date +%s.%N; }
# Both read the image from the page cache, whichever goes first.
cat "$img" >/dev/null
sync
t0=$(now); cp -r "$mnt/small" "$work/cp"; sync; t1=$(now)
"$ds" -d "$img" export -r /small "$work/ex" >/dev/null; t2=$(now)
n=$(find "$work/ex" -type f | wc -l)
awk -v c="$(echo "$t1 - $t0" | bc)" -v e="$(echo "$t2 - $t1" | bc)" -v n="$n" \
    'BEGIN { printf "files %d  cp -r + sync %.2f s  export -r %.2f s  ratio %.2f\n", n, c, e, e / c }'
rm -rf "$work/cp" "$work/ex" "$work/ex.manifest.json"
