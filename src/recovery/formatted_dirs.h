#pragma once
// Format recovery: directories that lay below the old root, found in free
// descriptor slots after the datastore was formatted again.

#include "recovery/scan.h"
#include "vmfs/found_dir.h"

#include <cstdint>
#include <vector>

namespace ds {

// The first free sub-block (walk order) that begins with a "." entry of type
// 2 naming dir_id; 0 when there is none.
uint32_t find_dir_subblock(uint32_t dir_id);

ScanEnd scan_formatted_dirs(const ScanProgress& progress, const std::function<void(const found_dir&)>& row);

} // namespace ds
