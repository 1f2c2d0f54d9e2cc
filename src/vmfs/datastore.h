#pragma once
// One opened datastore: the sector source its disks are read through, the
// chunk cache, the member table, the file-system record with its four
// bitmap records, the memos of the file reader and the directories the
// format recovery found. Every operation of the core takes the datastore it
// works on, so several can be open in one process, and dropping one closes
// every descriptor it opened.
//
// Reads (descriptors, directories, file contents, exports, scans) may run on
// several threads at once: what they change (the cache, the memos) is
// guarded. Changing the disks, opening or closing the file system and
// storing found directories must not overlap any read.

#include "disk/disk_read.h"
#include "vmfs/file_read.h"
#include "vmfs/found_dir.h"
#include "vmfs/fs.h"
#include "vmfs/volume.h"

#include <memory>
#include <vector>

namespace ds {

struct Datastore {
    // Image files and block devices, read-only.
    Datastore();
    explicit Datastore(std::unique_ptr<SectorSource> source);
    // A source the caller keeps alive longer than the datastore (tests that
    // count or fail its reads).
    explicit Datastore(SectorSource& source);
    Datastore(const Datastore&) = delete;
    Datastore& operator=(const Datastore&) = delete;

    DiskReader disk;
    tvmfslvm lvm;                         // the member table
    tvmfs_fs fs;
    FileReadMemos memos;
    std::vector<found_dir> found_dirs;    // of the last format recovery
    // Size in sectors of the disk added last; kept for the disk settings
    // window. Reads are clipped at the end of the device they read.
    int64_t disk_sectors = 0;
};

} // namespace ds
