#pragma once
// Virtual-disk file recovery: free pointer blocks whose first block id leads
// to a block that begins with a master boot record.

#include "recovery/scan.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Datastore;

// One row of the recovered-file list for a virtual disk; the front ends make
// its columns.
struct PartitionRow {
    int n = 0;
    std::vector<uint8_t> types;   // of the partitions, up to the first all-zero entry
    int64_t kib = 0;              // their sizes summed, each in whole KiB
    // Where the virtual disk can be recovered from: the free pointer block,
    // the file block its first id names, and the bytes its ids address.
    uint32_t pointer_block = 0;
    uint32_t first_block = 0;
    int64_t addressed_bytes = 0;
    // Where the partitions of its master boot record end: the disk holds at
    // least that many bytes.
    int64_t partitions_end = 0;
};

// The row AddPartitionRow appends for a 64-byte partition table.
PartitionRow make_partition_row(const uint8_t (&table)[64], int n);
// Whether the first 512 bytes of a block look like a master boot record.
bool looks_like_mbr(const uint8_t* block512);

// Rows go to row when given, else into the result.
ScanResult<PartitionRow> scan_lost_vmdks(Datastore& store, const ScanProgress& progress,
                                         const std::function<void(const PartitionRow&)>& row = {});

} // namespace ds
