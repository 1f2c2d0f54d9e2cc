#pragma once
// Format recovery: directories that lay below the old root, found in free
// descriptor slots after the datastore was formatted again.

#include "recovery/scan.h"

#include <cstdint>
#include <vector>

namespace ds {

struct found_dir {
    int32_t number = 0;          // 1-based, as in the node caption "DIR<n>"
    uint32_t dir_id = 0;         // the directory's descriptor id
    int32_t first_block = -1;    // sub-block id that replaces blocks[0], or -1
};

// The process-wide table of the last run.
std::vector<found_dir>& found_dirs();

// The first free sub-block (walk order) that begins with a "." entry of type
// 2 naming dir_id; 0 when there is none.
uint32_t find_dir_subblock(uint32_t dir_id);

// first_block of the record numbered number, or -1 when there is none.
int64_t found_dir_first_block(int32_t number);

ScanEnd scan_formatted_dirs(const ScanProgress& progress, const std::function<void(const found_dir&)>& row);

} // namespace ds
