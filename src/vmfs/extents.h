#pragma once
// Where a file's bytes lie: its data as runs of file offsets, each with the
// block that starts it and its place on the logical volume, the way the
// file read would find them.

#include "vmfs/inode.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Extent {
    enum class Kind {
        data,            // bytes in file blocks or sub-blocks
        hole,            // null block ids: reads as zeros
        inline_data,     // held in the descriptor itself
        invalid,         // a block id of a kind that holds no file data
        unaddressable,   // past what the block list can address, or its pointer block unreadable
    };
    Kind kind = Kind::data;
    int64_t offset = 0;      // file offset of the run's first byte
    int64_t length = 0;
    uint32_t block_id = 0;   // first block of the run (the descriptor for inline data)
    int64_t lv_offset = -1;  // logical-volume offset of the first byte; -1 when there is none
};

// The runs of inode's data from offset 0 to its size, in file order. Blocks
// that follow each other on the logical volume join one run, as do
// neighbouring holes. The list ends with an unaddressable run at the first
// position the block list cannot reach.
std::vector<Extent> file_extents(const tvmfs_inode& inode, uint32_t descriptor_id);

} // namespace ds
