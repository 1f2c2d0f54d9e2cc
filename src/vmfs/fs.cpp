#include "vmfs/fs.h"
#include "vmfs/store.h"

#include "disk/disk_read.h"
#include "disk/sector_source.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/file_read.h"
#include "vmfs/found_dir.h"
#include "vmfs/volume.h"

#include <string_view>

namespace ds {

bool fs_is_open(Store& store) { return store.fs.fdc.inode.size != 0; }

void fs_close(Store& store) {
    store.fs = FileSystem{};
    store.found_dirs.clear();
    store.memos.reset();
}

namespace {

struct SystemFile {
    std::string_view name;
    Bitmap FileSystem::*record;
    OpenFailure failure;
    ItemUse use;
    SystemFileBit bit;
};

// Descriptors are read into 2048-byte buffers and a pointer block must hold
// at least one id; file blocks are never read through ".fbb.sf".
constexpr ItemUse kDescriptorItems{true, 1, static_cast<int32_t>(kDescriptorBytes)};
constexpr SystemFile kSystemFiles[] = {
    {".fbb.sf", &FileSystem::fbb, OpenFailure::fbb_unopenable, kItemsNeverRead, kFoundFbb},
    {".fdc.sf", &FileSystem::fdc, OpenFailure::fdc_unopenable, kDescriptorItems, kFoundFdc},
    {".pbc.sf", &FileSystem::pbc, OpenFailure::pbc_unopenable, {true, 4, kMaxItemSize}, kFoundPbc},
    {".sbc.sf", &FileSystem::sbc, OpenFailure::sbc_unopenable, {true, 1, kMaxItemSize}, kFoundSbc},
};

} // namespace

OpenOutcome fs_open(Store& store) {
    store.memos.reset();
    OpenOutcome out;
    FileSystem& fs = store.fs;
    // A step that fails says which; a failed read of a disk, why.
    auto stop = [&](OpenFailure why) {
        out.failure = why;
        out.read_failure = store.disk.thread_failure();
        return out;
    };
    store.disk.clear_thread_failure();
    if (store.lvm.loaded_extents == 0) return stop(OpenFailure::no_disks);
    if (!fsinfo_read(store, fs.fsinfo)) return stop(OpenFailure::fsinfo_unreadable);
    out.pane_filled = true;

    fs.found = 0;
    store.found_dirs.clear();
    bitmap_set_provisional_fdc(fs.fdc, fs.fsinfo.blocksize);
    if (!bitmap_open(store, fs.fdc, fs.fdc, kDescriptorItems)) return stop(OpenFailure::fdc_unopenable);
    out.tree_rebuilt = true;

    Descriptor root;
    if (inode_get(store, kRootDirId, root) != 0) return stop(OpenFailure::root_unreadable);
    // The first system file that cannot be opened ends the opening; a read
    // that failed before it and was got over does not explain it.
    OpenFailure failed = OpenFailure::none;
    bool reached_end = dir_walk(store, root, [&](const DirEntry& e) {
        if (failed != OpenFailure::none || e.type != kTypeSystem) return;
        std::string name = dirent_name(e);
        for (const SystemFile& sf : kSystemFiles) {
            if (name != sf.name) continue;
            Bitmap& rec = fs.*sf.record;
            store.disk.clear_thread_failure();
            if (inode_get(store, e.descriptor_id, rec.inode) != 0 || !bitmap_open(store, rec, rec, sf.use)) {
                failed = sf.failure;
                out.read_failure = store.disk.thread_failure();
            } else {
                fs.found |= sf.bit;
            }
            break;
        }
    });
    out.failure = failed;
    if (failed != OpenFailure::none) return out;
    out.completed = reached_end;
    return out;
}

} // namespace ds
