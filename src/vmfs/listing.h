#pragma once
// What a directory listing shows: the rule shared by the tree and the shell.

#include "vmfs/datastore.h"
#include "vmfs/dirent.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ds {

struct Listing {
    ListStatus status = ListStatus::open_error;
    std::vector<ListedEntry> entries;
};

// Lists directory dir_id. A first_block other than -1 takes the place of the
// directory's first block id (a directory found after a reformat).
Listing list_directory(Store& store, uint32_t dir_id, int64_t first_block = -1);

} // namespace ds
