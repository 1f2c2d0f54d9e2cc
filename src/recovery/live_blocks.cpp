#include "recovery/live_blocks.h"
#include "vmfs/store.h"

#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/inode.h"
#include "vmfs/le.h"

#include <algorithm>

namespace ds {

void LiveBlocks::add_file_block(uint32_t id) {
    if (blkid_type(id) != kBlockFile) return;
    const uint32_t n = fb_item(id);
    if (n / 64 >= file_bits_.size()) file_bits_.resize(n / 64 + 1, 0);
    file_bits_[n / 64] |= uint64_t{1} << (n % 64);
}

bool LiveBlocks::owns_file_block(uint32_t id) const {
    if (blkid_type(id) != kBlockFile) return false;
    const uint32_t n = fb_item(id);
    return n / 64 < file_bits_.size() && (file_bits_[n / 64] >> (n % 64) & 1) != 0;
}

namespace {

void add_descriptor(Store& store, const Descriptor& d, LiveBlocks& live, std::vector<uint8_t>& pb) {
    if (d.addr_mode == 1 || d.addr_mode == 2) {
        for (uint32_t id : d.blocks) live.add_file_block(id);
        return;
    }
    if (d.addr_mode != 3) return;
    const Bitmap& pbc = store.fs.pbc;
    for (uint32_t id : d.blocks) {
        if (id == 0) continue;
        live.add_pointer_block(id);
        if (pb.empty() || !bitmap_read_item(store, pbc, pb_entry(id), pb_item(id), pb)) continue;
        for (size_t r = 0; r + 4 <= pb.size(); r += 4) live.add_file_block(load_le<uint32_t>(pb, r));
    }
}

} // namespace

LiveBlocks LiveBlocks::of(Store& store) {
    LiveBlocks live;
    const Bitmap& fdc = store.fs.fdc;
    const BitmapHeader& h = fdc.header;
    const int32_t pb_size = store.fs.pbc.header.item_size;
    std::vector<uint8_t> pb(pb_size > 0 && pb_size <= kMaxItemSize ? static_cast<size_t>(pb_size) : 0);
    // The system files first: they are live whatever their slots say.
    for (const Bitmap* bm : {&store.fs.fdc, &store.fs.sbc, &store.fs.pbc, &store.fs.fbb})
        add_descriptor(store, bm->inode, live, pb);
    const int64_t entries = h.area_size > 0 ? std::min<int64_t>(h.entries_per_area, h.area_size / kBitmapEntryBytes) : 0;
    if (h.area_count <= 0 || entries <= 0 || h.header_size < 0) return live;
    const int64_t item_limit = std::min<int64_t>(h.items_per_entry, int64_t{kBitmapBytes} * 8);
    const int64_t extent = file_extent(store, fdc.inode);
    uint8_t raw[kBitmapEntryBytes];
    for (int32_t a = 0; a < h.area_count; ++a) {
        int64_t p = int64_t{h.header_size} + int64_t{a} * h.area_size;
        for (int64_t j = 0; j < entries; ++j, p += kBitmapEntryBytes) {
            if (p > extent - kBitmapEntryBytes) return live;
            if (file_read(store, fdc.inode, raw, kBitmapEntryBytes, p) != kBitmapEntryBytes) {
                live.complete_ = false;
                continue;
            }
            BitmapEntry e;
            bitmap_entry_parse({raw, kBitmapEntryBytes}, e);
            if (e.id > 0x7FFFu) continue;   // no descriptor id can name its slots
            const int64_t items = std::min<int64_t>({int64_t{e.total}, item_limit, 0x400});
            for (int64_t i = 0; i < items; ++i) {
                const auto item = static_cast<uint32_t>(i);
                if (!bitmap_item_allocated(h, e, e.id, item)) continue;
                const uint32_t id = fd_build(e.id, item);
                Descriptor d;
                if (inode_get(store, id, d) != 0) {
                    live.complete_ = false;
                    continue;
                }
                if (d.id == id) add_descriptor(store, d, live, pb);
            }
        }
    }
    return live;
}

} // namespace ds
