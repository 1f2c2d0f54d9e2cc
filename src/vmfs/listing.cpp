#include "vmfs/listing.h"
#include "vmfs/datastore.h"

#include "vmfs/dirent.h"
#include "vmfs/found_dir.h"
#include "vmfs/inode.h"

namespace ds {

DirLister::DirLister(Datastore& store, uint32_t dir_id, int64_t first_block) {
    tvmfs_inode dir;
    if (inode_get_substituted(store, dir_id, first_block, dir) != 0) return;
    if (dir.type != kTypeDir) {
        status_ = ListStatus::not_directory;
        return;
    }
    cursor_.emplace(store, dir);
    status_ = ListStatus::complete;
}

bool DirLister::next(ListedEntry& out) {
    if (!cursor_) return false;
    tvmfs_dirent e;
    while (cursor_->next(e)) {
        if (e.type != kTypeDir && e.type != kTypeRegular && e.type != kTypeSystem) continue;
        std::string name = display_name(e);
        if (name == "." || name == "..") continue;
        out = {e.type == kTypeDir, e.type, e.block_id, std::move(name), dirent_name(e)};
        return true;
    }
    status_ = cursor_->reached_end() ? ListStatus::complete : ListStatus::ended_early;
    return false;
}

Listing list_directory(Datastore& store, uint32_t dir_id, int64_t first_block) {
    Listing out;
    DirLister lister(store, dir_id, first_block);
    for (ListedEntry e; lister.next(e);) out.entries.push_back(std::move(e));
    out.status = lister.status();
    return out;
}

} // namespace ds
