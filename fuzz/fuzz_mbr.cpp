// The boot-record test and the partition row of the virtual-disk recovery,
// over the first 512 bytes of a block.

#include "recovery/lost_vmdks.h"
#include "text/row_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t block[512] = {};
    std::memcpy(block, data, std::min<size_t>(size, sizeof block));
    ds::looks_like_mbr(block);
    uint8_t table[64];
    std::memcpy(table, block + 0x1BE, sizeof table);
    const std::array<std::string, 4> cells = ds::partition_row_cells(ds::make_partition_row(table, static_cast<int>(size)));
    const std::string& type = cells[2];
    const std::string& gb = cells[3];
    // At most four partition texts, and a size that is a count of GB: four
    // entries of at most 2^32 - 1 sectors add up to less than 8 TB.
    if (std::count(type.begin(), type.end(), '|') > 3) __builtin_trap();
    if (gb.size() < 3 || gb.size() > 6 || gb.compare(gb.size() - 2, 2, "GB") != 0) __builtin_trap();
    return 0;
}
