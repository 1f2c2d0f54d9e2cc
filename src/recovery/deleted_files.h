#pragma once
// Deleted-file recovery: free descriptor slots that still hold a regular file
// naming its own slot.

#include "recovery/scan.h"
#include "vmfs/inode.h"

#include <cstdint>

namespace ds {

struct Datastore;

// One row of the recovered-file list for a file; the front ends make its
// columns.
struct FileRow {
    int n = 0;
    uint32_t addr_mode = 0;         // the size class follows it ...
    int64_t block_size = 0;         // ... measured in the file system's block size
    int32_t create_time = 0, update_time = 0, access_time = 0;   // the three times as read
    uint32_t descriptor_id = 0;     // kept so that the file can be exported
    int64_t bytes = 0;              // the descriptor's exact size, beside the class
};

// The row AddFileRow appends for descriptor inode as row n.
FileRow make_file_row(Datastore& store, const tvmfs_inode& inode, int n, uint32_t descriptor_id);

// Rows go to row when given, else into the result.
ScanResult<FileRow> scan_deleted_files(Datastore& store, const ScanProgress& progress,
                                       const std::function<void(const FileRow&)>& row = {});

} // namespace ds
