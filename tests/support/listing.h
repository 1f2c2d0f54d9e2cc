#pragma once
// A whole directory listing in memory, for tests that compare what a
// directory shows; the program itself lists through DirLister, one entry at
// a time.

#include "vmfs/datastore.h"
#include "vmfs/store.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Listing {
    ListStatus status = ListStatus::open_error;
    std::vector<ListedEntry> entries;
};

// Lists directory dir_id. A first_block other than -1 takes the place of the
// directory's first block id (a directory found after a reformat).
inline Listing list_directory(Store& store, uint32_t dir_id, int64_t first_block = -1) {
    Listing out;
    DirLister lister(store, Node{dir_id, first_block});
    for (ListedEntry e; lister.next(e);) out.entries.push_back(std::move(e));
    out.status = lister.status();
    return out;
}

} // namespace ds
