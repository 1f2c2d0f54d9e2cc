#pragma once
// The format recovery as the front ends run it: the directories it finds are
// kept in the datastore, where the "DIR<n>" readers look for them.

#include "recovery/formatted_dirs.h"
#include "vmfs/datastore.h"

namespace dstest {

inline ds::ScanEnd find_formatted(ds::Datastore& store, const ds::ScanProgress& progress,
                                  const std::function<void(const ds::found_dir&)>& row = {}) {
    ds::ScanResult<ds::found_dir> found = ds::scan_formatted_dirs(store, progress, row);
    store.found_dirs = std::move(found.rows);
    return found.end;
}

} // namespace dstest
