#include "vmfs/found_dir.h"
#include "vmfs/store.h"

namespace ds {

const FoundDir* found_dir_by_number(Store& store, int32_t number) {
    const std::vector<FoundDir>& table = store.found_dirs;
    // The record numbered k is at index k - 1; look further only if the table
    // was ever built otherwise.
    if (number >= 1 && static_cast<size_t>(number) <= table.size() && table[number - 1].number == number)
        return &table[number - 1];
    for (const FoundDir& d : table)
        if (d.number == number) return &d;
    return nullptr;
}

std::string found_dir_name(const FoundDir& d) { return "DIR" + std::to_string(d.number); }

int64_t found_dir_first_block(const FoundDir& d) {
    // Stored as a signed 32-bit value; the id itself is unsigned.
    return d.first_block == -1 ? -1 : static_cast<int64_t>(static_cast<uint32_t>(d.first_block));
}

int64_t found_dir_first_block(Store& store, int32_t number) {
    const FoundDir* d = found_dir_by_number(store, number);
    return d ? found_dir_first_block(*d) : -1;
}

void substitute_first_block(Descriptor& inode, int64_t first_block) {
    if (first_block != -1) inode.blocks[0] = static_cast<uint32_t>(first_block);
}

int inode_get_substituted(Store& store, uint32_t id, int64_t first_block, Descriptor& inode) {
    if (inode_get(store, id, inode) != 0) return -1;
    substitute_first_block(inode, first_block);
    return 0;
}

} // namespace ds
