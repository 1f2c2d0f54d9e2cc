#pragma once
// What a directory listing shows: the rule shared by the tree and the shell.

#include "vmfs/dirent.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ds {

struct ListedEntry {
    bool is_dir = false;       // folder image when true, document image otherwise
    uint32_t type = 0;         // the entry's type: 2, 3 or 5
    uint32_t block_id = 0;     // descriptor id, the handle for listing and export
    std::string name;          // display name (UTF-8, invalid bytes replaced)
    std::string raw_name;      // the name's bytes as stored (trimmed), for printing and exact matches
};

enum class ListStatus {
    complete,        // the walk reached the end: the node is expanded
    ended_early,     // a read was short: entries so far stay, no expansion
    not_directory,   // the descriptor is not a directory: nothing happens
    open_error,      // the descriptor cannot be read: "dir open error"
};

struct Listing {
    ListStatus status = ListStatus::open_error;
    std::vector<ListedEntry> entries;
};

// Lists directory dir_id. A first_block other than -1 takes the place of the
// directory's first block id (a directory found after a reformat).
Listing list_directory(Datastore& store, uint32_t dir_id, int64_t first_block = -1);

// The same listing handed out one entry at a time, so that a directory whose
// size claims millions of entries is never held whole.
class DirLister {
public:
    DirLister(Datastore& store, uint32_t dir_id, int64_t first_block = -1);
    // The next entry the listing shows; false at the end.
    bool next(ListedEntry& entry);
    // open_error and not_directory from the start; after next() gave false,
    // complete or ended_early.
    ListStatus status() const { return status_; }
    // Directory entries read so far, "." and ".." and entries of other types
    // included.
    int64_t entries_read() const { return cursor_ ? cursor_->entries_read() : 0; }

private:
    std::optional<DirCursor> cursor_;
    ListStatus status_ = ListStatus::open_error;
};

} // namespace ds
