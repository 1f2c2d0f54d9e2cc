#pragma once
// The blocks live files still own, from their descriptors: what a rebuild of
// a lost virtual disk must never hand out as the lost disk's bytes.

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace ds {

struct Store;

class LiveBlocks {
public:
    // Walks the allocated slots of ".fdc.sf" and every descriptor that still
    // names its own slot, with the pointer blocks of those that use them.
    // Memory: one bit per file block (at most 8 MiB: a block id has 26 bits
    // for its number) and one entry per live pointer block.
    static LiveBlocks of(Store& store);

    bool owns_file_block(uint32_t id) const;
    bool owns_pointer_block(uint32_t id) const { return pointer_blocks_.count(id) != 0; }
    void add_file_block(uint32_t id);
    void add_pointer_block(uint32_t id) { pointer_blocks_.insert(id); }
    // False when a part of ".fdc.sf" could not be read: what it held is unknown.
    bool complete() const { return complete_; }

private:
    std::vector<uint64_t> file_bits_;
    std::unordered_set<uint32_t> pointer_blocks_;
    bool complete_ = true;
};

} // namespace ds
