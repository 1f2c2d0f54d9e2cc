#pragma once
// Names for deleted files and directories: the directory entries that still
// name their descriptor slots, in the live tree, in deleted directories and
// in the directories found after a reformat.

#include "vmfs/datastore.h"

#include <vector>

namespace ds {

struct Store;

DeletedNames name_deleted_items(Store& store, const std::vector<DeletedItem>& items,
                                const DeletedNameOptions& options = {});

} // namespace ds
