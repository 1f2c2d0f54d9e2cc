#pragma once
// Format recovery: directories that lay below the old root, found in free
// descriptor slots after the datastore was formatted again.

#include "recovery/scan.h"
#include "vmfs/found_dir.h"

#include <cstdint>
#include <vector>

namespace ds {

ScanEnd scan_formatted_dirs(const ScanProgress& progress, const std::function<void(const found_dir&)>& row);

} // namespace ds
