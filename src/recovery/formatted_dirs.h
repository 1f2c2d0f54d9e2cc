#pragma once
// Format recovery: directories that lay below the old root, found in free
// descriptor slots after the datastore was formatted again.

#include "vmfs/datastore.h"
#include "recovery/scan.h"
#include "vmfs/found_dir.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Store;

ScanResult<FoundDir> scan_formatted_dirs(Store& store, const ScanProgress& progress,
                                          const std::function<void(const FoundDir&)>& row = {},
                                          FoundDirBounds bounds = {});

} // namespace ds
