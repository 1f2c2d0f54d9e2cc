#pragma once
// Virtual-disk file recovery: free pointer blocks whose first block id leads
// to a block that begins with a master boot record.

#include "vmfs/datastore.h"
#include "recovery/scan.h"
#include "vmfs/inode.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Store;

// The row AddPartitionRow appends for a 64-byte partition table.
PartitionRow make_partition_row(const uint8_t (&table)[64], int n);
// Whether the first 512 bytes of a block look like a master boot record.
bool looks_like_mbr(const uint8_t* block512);

// A stand-in descriptor for the virtual disk of row: a regular file whose
// one pointer block is the free one the row was found through, as long as
// the bytes that pointer block addresses.
Descriptor lost_disk_descriptor(const Store& store, const PartitionRow& row);

// Rows go to row when given, else into the result. With candidates, every
// free pointer block that holds file-block ids only is added to it as well.
ScanResult<PartitionRow> scan_lost_vmdks(Store& store, const ScanProgress& progress,
                                         const std::function<void(const PartitionRow&)>& row = {},
                                         std::vector<PointerBlockCandidate>* candidates = nullptr);

} // namespace ds
