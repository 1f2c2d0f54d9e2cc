#include "vmfs/dirent.h"
#include "vmfs/datastore.h"

#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

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
int64_t block_bytes(Datastore& store, uint32_t id) {
    if (blkid_type(id) == kBlockFile) return store.fs.fsinfo.blocksize;
    if (blkid_type(id) == kBlockSub) return store.fs.sbc.header.item_size;
    return 0;
}

// Whether both ends of the entry at pos lie inside a real block. A directory
// is never sparse, and a slot whose block_size claims more than its block
// holds would only wrap around inside that block, entry after entry.
struct SlotCheck {
    Datastore& store;
    const tvmfs_inode& dir;
    int64_t slot = -1;
    uint32_t id = 0;

    bool entry_in_blocks(int64_t pos) {
        if (dir.block_size <= 0) return false;
        for (int64_t p : {pos, std::min(pos + kDirentBytes, dir.size) - 1}) {
            if (p / dir.block_size != slot) {
                if (file_block_lookup(store, dir, p, &id) != 0 || id == 0) return false;
                slot = p / dir.block_size;
            }
            if (p % dir.block_size >= block_bytes(store, id)) return false;
        }
        return true;
    }
};

} // namespace

bool dir_walk(Datastore& store, const tvmfs_inode& dir, const std::function<void(const tvmfs_dirent&)>& action) {
    uint8_t raw[kDirentBytes];
    SlotCheck blocks{store, dir};
    int64_t count = 0;
    for (int64_t pos = 0; pos < dir.size; pos += kDirentBytes) {
        // A damaged size (2^62, say) would otherwise mean billions of
        // entries read from holes or from the same block over and over.
        if (++count > kMaxDirEntries || !blocks.entry_in_blocks(pos)) return false;
        if (file_read(store, dir, raw, kDirentBytes, pos) != kDirentBytes) return false;
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

std::string utf8_sanitize(const std::string& s) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= s.size();
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; ok && k < n; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values above U+10FFFF are invalid too.
        if (ok && ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
                   (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
            ok = false;
        if (ok) {
            out.append(s, i, n);
            i += n;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

std::string display_name(const tvmfs_dirent& e) { return utf8_sanitize(dirent_name(e)); }

} // namespace ds
