#pragma once
// Where the bytes of a host file or block device really lie. A loop device
// is a range of its backing file, a partition a range of its whole disk, a
// device-mapper device lies on its slaves, and a regular file lies somewhere
// inside the block device of its file system; comparing device or inode
// numbers alone misses every one of these. What backs what is read from
// sysfs, and a loop device is asked for its backing file's device and inode.

#include <cstdint>
#include <sys/stat.h>
#include <vector>

namespace ds {

struct ByteRange {
    // unknown: a loop device whose backing could not be learnt; it may be
    // anything, so it meets every range but another container.
    enum class Base { file, disk, unknown };
    Base base = Base::disk;
    uint64_t dev = 0;   // file: the st_dev of its file system; disk: the whole disk's device number
    uint64_t ino = 0;   // file only
    int64_t begin = 0;
    int64_t end = INT64_MAX;   // exclusive
    // The object lies somewhere inside this range rather than across all of
    // it: the block device that holds a regular file's file system.
    bool container = false;
};

// The ranges that hold the bytes of what st describes: a regular file, a
// block device, or a directory (its file system's device, where a new file
// in it would go). Nothing for anything else. fd, when given, is an open
// descriptor of the block device st describes, asked in place of its node.
std::vector<ByteRange> backing_ranges(const struct stat& st, int fd = -1);

// Whether writing to what b describes could change a byte of what a
// describes. Two containers never meet by themselves: two files on one file
// system share its device without sharing a byte.
bool ranges_overlap(const std::vector<ByteRange>& a, const std::vector<ByteRange>& b);

} // namespace ds
