#pragma once
// Where a file's bytes lie: its data as runs of file offsets, each with the
// block that starts it and its place on the logical volume, the way the
// file read would find them.

#include "vmfs/datastore.h"
#include "vmfs/inode.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Store;

// The runs of inode's data from offset 0 to its size, in file order. Blocks
// that follow each other on the logical volume join one run, as do
// neighbouring holes. The list ends with an unaddressable run at the first
// position the block list cannot reach.
std::vector<Extent> file_extents(Store& store, const Descriptor& inode, uint32_t descriptor_id);

} // namespace ds
