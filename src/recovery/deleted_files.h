#pragma once
// Deleted-file recovery: free descriptor slots that still hold a regular file
// naming its own slot.

#include "vmfs/datastore.h"
#include "recovery/scan.h"
#include "vmfs/inode.h"

#include <cstdint>

namespace ds {

struct Store;

// The row AddFileRow appends for descriptor inode as row n.
FileRow make_file_row(Store& store, const Descriptor& inode, int n, uint32_t descriptor_id);

// Rows go to row when given, else into the result. With dirs, deleted
// directories (slots naming themselves with the directory type) are rows too.
ScanResult<FileRow> scan_deleted_files(Store& store, const ScanProgress& progress,
                                       const std::function<void(const FileRow&)>& row = {}, bool dirs = false);

} // namespace ds
