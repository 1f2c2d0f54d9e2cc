#pragma once
// Format recovery: directories that lay below the old root, found in free
// descriptor slots after the datastore was formatted again.

#include "recovery/scan.h"
#include "vmfs/found_dir.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Datastore;

// The found directories are always in the result, numbered from 1 (also
// those of a scan that ended early), and go to row as they are found. The
// datastore's own table is left alone: the caller keeps them there
// (store.found_dirs) for the "DIR<n>" paths to name them.
ScanResult<found_dir> scan_formatted_dirs(Datastore& store, const ScanProgress& progress,
                                          const std::function<void(const found_dir&)>& row = {});

} // namespace ds
