#pragma once
// The back room of a Datastore: the sector source its disks are read
// through, the chunk cache, the member table, the file-system record with
// its four bitmap records, the memos of the file reader and the directories
// the format recovery found. Only the format's own code, the recovery scans,
// tests and fuzzing include this; front ends go through vmfs/datastore.h.
//
// Reads may run on several threads at once: what they change (the cache,
// the memos) is guarded. Changing the disks, opening or closing the file
// system and storing found directories must not overlap any read.

#include "disk/ddrescue_map.h"
#include "disk/disk_read.h"
#include "vmfs/datastore.h"
#include "vmfs/file_read.h"
#include "vmfs/found_dir.h"
#include "vmfs/fs.h"
#include "vmfs/inode.h"
#include "vmfs/volume.h"

#include <memory>
#include <vector>

namespace ds {

struct Store {
    Store();
    explicit Store(std::unique_ptr<SectorSource> source);
    explicit Store(SectorSource& source);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Every read goes through the masks of the mapfiles given with the disks
    // (none for most), so a byte a rescue tool never read is never served.
    std::unique_ptr<MaskedSource> masked;
    DiskReader disk;
    LogicalVolume lvm;                    // the member table
    FileSystem fs;
    FileReadMemos memos;
    std::vector<FoundDir> found_dirs;     // of the last format recovery
    bool scan_rescue = false;             // the scans pass over what they cannot read
    bool list_rescue = false;             // listings pass over directory entries they cannot read

    // A File over a descriptor read into memory (node names what it was read as).
    static File make_file(const Node& node, const Descriptor& descriptor);
};

inline Store& internals(const Datastore& store) { return store.internals(); }

// A File over a descriptor read (or made) by hand, for tests and fuzzing.
inline File file_of(const Descriptor& descriptor, uint32_t id = 0) { return Store::make_file(Node{id, -1}, descriptor); }

// The descriptor an opened file was read from.
const Descriptor& descriptor_of(const File& file);

} // namespace ds
