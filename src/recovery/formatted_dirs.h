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
//
// Both tables the scan keeps are bounded, so that a damaged or forged
// ".fdc.sf" or ".sbc.sf" cannot exhaust memory; a volume holds far fewer
// directories than either bound. Past rows found directories, or when a
// candidate's first entries may lie past the dot_entries directory ids that
// the sub-block index keeps (old directories at every depth), the scan ends
// with row_limit, keeping those found before.
struct FoundDirBounds {
    int32_t rows = 1 << 20;          // 12 MiB of records
    size_t dot_entries = 1u << 22;   // 32 MiB of (directory, sub-block) pairs
};
ScanResult<found_dir> scan_formatted_dirs(Datastore& store, const ScanProgress& progress,
                                          const std::function<void(const found_dir&)>& row = {},
                                          FoundDirBounds bounds = {});

} // namespace ds
