#include "vmfs/dirent.h"

#include "vmfs/blockid.h"
#include "vmfs/store.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"
#include "vmfs/utf8.h"

#include <algorithm>

namespace ds {

void dirent_parse(std::span<const uint8_t> buf, DirEntry& e) {
    e.type = load_le<uint32_t>(buf, 0);
    e.descriptor_id = load_le<uint32_t>(buf, 4);
    e.record_id = load_le<uint32_t>(buf, 8);
    load_bytes(buf, 12, e.name);
}

int64_t dir_entry_limit(const Store& store) {
    const BitmapHeader& h = store.fs.fdc.header;
    if (h.area_count <= 0 || h.entries_per_area <= 0 || h.items_per_entry <= 0) return kMaxDirEntries;
    // Each factor is below 2^31 and the product is cut at the ceiling before
    // the last multiplication, so nothing overflows.
    const int64_t per_area = int64_t{h.entries_per_area} * h.items_per_entry;
    if (per_area >= kMaxDirEntries) return kMaxDirEntries;
    const int64_t slots = per_area * std::min<int64_t>(h.area_count, kMaxDirEntries);
    return std::min(slots, kMaxDirEntries - 2) + 2;
}

DirCursor::DirCursor(Store& store, const Descriptor& dir)
    : store_(store), dir_(dir), limit_(dir_entry_limit(store)) {}

// Whether both ends of the entry at pos lie inside a real block. A directory
// is never sparse, and a slot whose block_size claims more than its block
// holds would only wrap around inside that block, entry after entry.
bool DirCursor::entry_in_blocks(int64_t pos) {
    if (dir_.block_size <= 0) return false;
    for (int64_t p : {pos, std::min(pos + kDirentBytes, dir_.size) - 1}) {
        if (p / dir_.block_size != slot_) {
            if (file_block_lookup(store_, dir_, p, &id_) != 0 || id_ == 0) return false;
            slot_ = p / dir_.block_size;
        }
        if (p % dir_.block_size >= block_capacity(store_, id_)) return false;
    }
    return true;
}

bool DirCursor::next(DirEntry& e) {
    if (done_) return false;
    if (pos_ >= dir_.size) {
        done_ = reached_end_ = true;
        return false;
    }
    uint8_t raw[kDirentBytes];
    // A damaged size (2^62, say) would otherwise mean billions of entries
    // read from holes or from the same block over and over.
    if (++count_ > limit_ || !entry_in_blocks(pos_) || file_read(store_, dir_, raw, kDirentBytes, pos_) != kDirentBytes) {
        done_ = true;
        return false;
    }
    dirent_parse(raw, e);
    pos_ += kDirentBytes;
    return true;
}

bool dir_walk(Store& store, const Descriptor& dir, const std::function<void(const DirEntry&)>& action) {
    DirCursor cursor(store, dir);
    DirEntry e;
    while (cursor.next(e)) action(e);
    return cursor.reached_end();
}

std::string dirent_name(const DirEntry& e) {
    size_t len = 0;
    while (len < sizeof e.name && e.name[len] != 0) ++len;
    size_t begin = 0;
    while (begin < len && e.name[begin] <= 0x20) ++begin;
    while (len > begin && e.name[len - 1] <= 0x20) --len;
    return std::string(reinterpret_cast<const char*>(e.name) + begin, len - begin);
}

std::string display_name(const DirEntry& e) { return utf8_sanitize(dirent_name(e)); }

} // namespace ds
