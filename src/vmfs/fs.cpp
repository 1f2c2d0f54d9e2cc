#include "vmfs/fs.h"

#include "disk/disk_read.h"
#include "disk/sector_source.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/file_read.h"
#include "vmfs/found_dir.h"
#include "vmfs/volume.h"

#include <string_view>

namespace ds {

tvmfs_fs& fs_state() {
    static tvmfs_fs fs;
    return fs;
}

void reset_state() {
    fs_close();
    lvm_state() = tvmfslvm{};
    sector_source().close_all();
    disk_cache_reset();
}

bool fs_is_open() { return fs_state().fdc.inode.size != 0; }

void fs_close() {
    fs_state() = tvmfs_fs{};
    found_dirs().clear();
    file_read_cache_reset();
}

std::vector<std::string> info_lines() {
    const tvmfslvm& lvm = lvm_state();
    const tvmfs_fsinfo& fi = fs_state().fsinfo;
    std::vector<std::string> lines;
    lines.push_back("lvm numofextents:" + std::to_string(lvm.numofextents));
    lines.push_back("lvm size:" + std::to_string(lvm.size));
    lines.push_back("lvm loaded_extents:" + std::to_string(lvm.loaded_extents));
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k) {
        const TvmfsVOLUME& m = lvm.volumes[k];
        // The seven-byte size times 256 may exceed 63 bits on a damaged header;
        // it wraps as the 64-bit product does.
        auto shown = static_cast<int64_t>(m.size * 256u);
        lines.push_back("1>" + m.device + "|size:" + std::to_string(shown));
    }
    lines.push_back("-------------------------------");
    lines.push_back("FSINFO:");
    lines.push_back("blocksize:" + std::to_string(fi.blocksize));
    lines.push_back("subblocksize:" + std::to_string(fi.subblocksize));
    lines.push_back("fdcheader_size:" + std::to_string(fi.fdcheader_size));
    lines.push_back("fdcbitmap_count:" + std::to_string(fi.fdcbitmap_count));
    return lines;
}

namespace {

struct SystemFile {
    std::string_view name;
    tvmfs_bitmap tvmfs_fs::*record;
    const char* message;
    ItemUse use;
    SystemFileBit bit;
};

// Descriptors are read into 2048-byte buffers and a pointer block must hold
// at least one id; file blocks are never read through ".fbb.sf".
constexpr ItemUse kDescriptorItems{true, 1, static_cast<int32_t>(kDescriptorBytes)};
constexpr SystemFile kSystemFiles[] = {
    {".fbb.sf", &tvmfs_fs::fbb, "fbb open error", kItemsNeverRead, kFoundFbb},
    {".fdc.sf", &tvmfs_fs::fdc, "fdc open error", kDescriptorItems, kFoundFdc},
    {".pbc.sf", &tvmfs_fs::pbc, "pbc open error", {true, 4, kMaxItemSize}, kFoundPbc},
    {".sbc.sf", &tvmfs_fs::sbc, "sbc open error", {true, 1, kMaxItemSize}, kFoundSbc},
};

} // namespace

OpenOutcome fs_open() {
    file_read_cache_reset();
    OpenOutcome out;
    tvmfs_fs& fs = fs_state();
    if (lvm_state().loaded_extents == 0) {
        out.message = "please set disks first";
        return out;
    }
    if (fsinfo_read(fs.fsinfo) != 0) {
        out.message = "fs info read error";
        return out;
    }
    out.info_lines = info_lines();
    out.pane_filled = true;

    fs.found = 0;
    found_dirs().clear();
    bitmap_set_provisional_fdc(fs.fdc, fs.fsinfo.blocksize);
    if (bitmap_open(fs.fdc, fs.fdc, kDescriptorItems) != 0) {
        out.message = "fdc open error";
        return out;
    }
    out.tree_rebuilt = true;

    tvmfs_inode root;
    if (inode_get(kRootDirId, root) != 0) {
        out.message = "root_dir open error";
        return out;
    }
    bool reached_end = dir_walk(root, [&](const tvmfs_dirent& e) {
        if (!out.message.empty() || e.type != kTypeSystem) return;
        std::string name = dirent_name(e);
        for (const SystemFile& sf : kSystemFiles) {
            if (name != sf.name) continue;
            tvmfs_bitmap& rec = fs.*sf.record;
            if (inode_get(e.block_id, rec.inode) != 0 || bitmap_open(rec, rec, sf.use) != 0)
                out.message = sf.message;
            else
                fs.found |= sf.bit;
            break;
        }
    });
    if (!out.message.empty()) return out;
    out.completed = reached_end;
    return out;
}

} // namespace ds
