#pragma once
// The format recovery as the front ends run it: the directories it finds are
// kept in the datastore, where the "DIR<n>" readers look for them.

#include "vmfs/store.h"
#include "recovery/formatted_dirs.h"
#include "vmfs/datastore.h"

namespace dstest {

inline ds::ScanEnd find_formatted(ds::Datastore& store, const ds::ScanProgress& progress,
                                  const std::function<void(const ds::FoundDir&)>& row = {}) {
    ds::ScanResult<ds::FoundDir> found = ds::scan_formatted_dirs(store, progress, row);
    ds::internals(store).found_dirs = std::move(found.rows);
    return found.end;
}

} // namespace dstest
