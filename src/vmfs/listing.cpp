#include "vmfs/listing.h"
#include "vmfs/datastore.h"

#include "vmfs/dirent.h"
#include "vmfs/found_dir.h"
#include "vmfs/inode.h"

namespace ds {

Listing list_directory(Datastore& store, uint32_t dir_id, int64_t first_block) {
    Listing out;
    tvmfs_inode dir;
    if (inode_get_substituted(store, dir_id, first_block, dir) != 0) return out;
    if (dir.type != kTypeDir) {
        out.status = ListStatus::not_directory;
        return out;
    }
    bool reached_end = dir_walk(store, dir, [&](const tvmfs_dirent& e) {
        if (e.type != kTypeDir && e.type != kTypeRegular && e.type != kTypeSystem) return;
        std::string name = display_name(e);
        if (name == "." || name == "..") return;
        out.entries.push_back({e.type == kTypeDir, e.type, e.block_id, std::move(name), dirent_name(e)});
    });
    out.status = reached_end ? ListStatus::complete : ListStatus::ended_early;
    return out;
}

} // namespace ds
