#include "vmfs/dirent.h"

#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"
#include "text/name_text.h"

#include <algorithm>

namespace ds {

void dirent_parse(std::span<const uint8_t> buf, tvmfs_dirent& e) {
    e.type = load_le<uint32_t>(buf, 0);
    e.block_id = load_le<uint32_t>(buf, 4);
    e.record_id = load_le<uint32_t>(buf, 8);
    load_bytes(buf, 12, e.name);
}

namespace {

// Bytes the block named by id really holds.
int64_t block_bytes(uint32_t id) {
    if (blkid_type(id) == kBlockFile) return fs_state().fsinfo.blocksize;
    if (blkid_type(id) == kBlockSub) return fs_state().sbc.header.item_size;
    return 0;
}

// Whether both ends of the entry at pos lie inside a real block. A directory
// is never sparse, and a slot whose block_size claims more than its block
// holds would only wrap around inside that block, entry after entry.
struct SlotCheck {
    const tvmfs_inode& dir;
    int64_t slot = -1;
    uint32_t id = 0;

    bool entry_in_blocks(int64_t pos) {
        if (dir.block_size <= 0) return false;
        for (int64_t p : {pos, std::min(pos + kDirentBytes, dir.size) - 1}) {
            if (p / dir.block_size != slot) {
                if (file_block_lookup(dir, p, &id) != 0 || id == 0) return false;
                slot = p / dir.block_size;
            }
            if (p % dir.block_size >= block_bytes(id)) return false;
        }
        return true;
    }
};

} // namespace

bool dir_walk(const tvmfs_inode& dir, const std::function<void(const tvmfs_dirent&)>& action) {
    uint8_t raw[kDirentBytes];
    SlotCheck blocks{dir};
    int64_t count = 0;
    for (int64_t pos = 0; pos < dir.size; pos += kDirentBytes) {
        // A damaged size (2^62, say) would otherwise mean billions of
        // entries read from holes or from the same block over and over.
        if (++count > kMaxDirEntries || !blocks.entry_in_blocks(pos)) return false;
        if (file_read(dir, raw, kDirentBytes, pos) != kDirentBytes) return false;
        tvmfs_dirent e;
        dirent_parse(raw, e);
        action(e);
    }
    return true;
}

std::string dirent_name(const tvmfs_dirent& e) {
    size_t len = 0;
    while (len < sizeof e.name && e.name[len] != 0) ++len;
    size_t begin = 0;
    while (begin < len && e.name[begin] <= 0x20) ++begin;
    while (len > begin && e.name[len - 1] <= 0x20) --len;
    return std::string(reinterpret_cast<const char*>(e.name) + begin, len - begin);
}

std::string display_name(const tvmfs_dirent& e) { return utf8_sanitize(dirent_name(e)); }

} // namespace ds
