#pragma once
// The cells of the block-size matrix: every block size a datastore can have,
// partitions starting at 63, 128 and 2048, one or two members, and 16, 32 or
// 64 sub-blocks per bitmap entry. Shared by the core and the command tests.

#include "builder/scenarios.h"

#include <ostream>
#include <string>
#include <vector>

namespace dstest {

struct MatrixCell {
    uint64_t block_mib = 1;
    std::vector<int64_t> sectors;
    uint32_t sub_items = 16;

    dsb::MatrixOptions options() const {
        dsb::MatrixOptions o;
        o.block_size = block_mib << 20;
        o.start_sectors = sectors;
        o.sub_items_per_entry = sub_items;
        return o;
    }
    std::string name() const {
        std::string n = std::to_string(block_mib) + "MiB";
        for (int64_t s : sectors) n += "_at" + std::to_string(s);
        return n + "_" + std::to_string(sub_items) + "sub";
    }
};

inline void PrintTo(const MatrixCell& c, std::ostream* os) { *os << c.name(); }

inline std::vector<MatrixCell> matrix_cells() {
    return {
        {1, {2048}, 16},
        {2, {63}, 32},
        {4, {128}, 64},
        {8, {2048}, 32},
        {8, {63, 128}, 64},
        {1, {128, 63}, 32},
    };
}

} // namespace dstest
