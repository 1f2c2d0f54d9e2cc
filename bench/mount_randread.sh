#!/bin/sh
# Random 4 KiB reads of a guest disk through the mount against the same reads
# of its bytes straight from the host, side by side in one run:
#   bench/mount_randread.sh BUILD_DIR WORK_DIR [DISK_MIB] [DATUMSIFT]
# WORK_DIR gets a datastore whose /vm1/vm1-flat.vmdk is a thick guest disk of
# DISK_MIB MiB (1024 when not given), written out in full so that the reads
# reach the host's disk, not the holes of a sparse image. The reads go to the
# image at the flat file's offset when the file is one run there; else to a
# plain copy of the file on the host. Needs fio.
set -eu
build=$1 work=$2 mib=${3:-1024} ds=${4:-$1/src/cli/datumsift}
command -v fio >/dev/null || { echo "fio is not installed (scripts/setup-deps.sh --bench)" >&2; exit 2; }
flat=/vm1/vm1-flat.vmdk
dir=$work/vm-$mib img=$work/vm-$mib/vm-full.img mnt=$work/mnt
mkdir -p "$dir" "$mnt"
if [ ! -f "$img" ]; then
    "$build/tools/mkdatastore" vm "$dir" "$mib" >/dev/null
    cp --sparse=never "$dir/vm.img" "$img"
    rm -f "$dir/vm.img"
fi
"$ds" -d "$img" mount "$mnt"
trap 'fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt"; rm -f "$dir/copy"' EXIT
size=$(stat -c %s "$mnt$flat")

# One run on the image: every extent is data and follows the one before on
# the logical volume, which the builder's single image maps from its data
# area on (17 MiB into the partition at sector 2048).
lv=$("$ds" -d "$img" stat "$flat" | awk -F'\t' '
    /^extents:/ { on = 1; next }
    on && NF == 4 {
        if ($4 !~ /^[0-9]+$/ || (n && $4 != last)) { print "no"; exit }
        if (!n) first = $4 - $1
        last = $4 + $2; n++
    }
    END { if (n) print first; else print "no" }')
target=$img offset=0
[ "$lv" = no ] || offset=$((2048 * 512 + 17 * 1048576 + lv))
# The bytes at that offset must be the file's, or the comparison is void.
if [ "$lv" = no ] || ! tail -c +$((offset + 1)) "$img" | cmp -s -n "$size" "$mnt$flat" -; then
    echo "the flat file is not one run on the image: reading a plain copy of it instead"
    cp --sparse=never "$mnt$flat" "$dir/copy"
    target=$dir/copy offset=0
fi

# Each run starts with nothing of the image (or copy) in the page cache;
# fio drops the file's own pages before it starts.
randread() {
    dd if="$target" iflag=nocache count=0 2>/dev/null
    dd if="$img" iflag=nocache count=0 2>/dev/null
    fio --name=randread --rw=randread --bs=4k --numjobs=2 --time_based --runtime=10 --group_reporting \
        --minimal "$@" | awk -F';' '{ print $8 }'
}
mount_iops=$(randread --filename="$mnt$flat")
host_iops=$(randread --filename="$target" --offset="$offset" --size="$size")
awk -v m="$mount_iops" -v h="$host_iops" -v t="$target" -v o="$offset" \
    'BEGIN { printf "randread 4k x2  mount %d IOPS  %s@%d %d IOPS  ratio %.2f\n", m, t, o, h, h / m }'
