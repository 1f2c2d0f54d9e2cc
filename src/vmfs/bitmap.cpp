#include "vmfs/bitmap.h"
#include "vmfs/store.h"

#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fsinfo.h"
#include "vmfs/le.h"

namespace ds {

bool bitmap_open(Store& store, const Bitmap& src, Bitmap& dst, const ItemUse& use) {
    Descriptor inode = src.inode;
    uint8_t raw[512] = {};
    if (file_read(store, inode, raw, 512, 0) != 512) return false;
    std::span<const uint8_t> b(raw);
    BitmapHeader h;
    h.items_per_entry = load_le<int32_t>(b, 0);
    h.entries_per_area = load_le<int32_t>(b, 4);
    h.header_size = load_le<int32_t>(b, 8);
    h.item_size = load_le<int32_t>(b, 12);
    h.area_size = load_le<int32_t>(b, 16);
    h.total_items = load_le<int32_t>(b, 20);
    h.area_count = load_le<int32_t>(b, 24);
    if (use.items_read && (h.items_per_entry <= 0 || h.entries_per_area <= 0 || h.area_size <= 0 ||
                           h.header_size < 0 || h.item_size < use.min_size || h.item_size > use.max_size))
        return false;
    dst.inode = inode;
    dst.header = h;
    return true;
}

int64_t bitmap_item_pos(const Bitmap& bm, uint32_t entry, uint32_t item) {
    const BitmapHeader& h = bm.header;
    if (h.items_per_entry <= 0 || h.entries_per_area <= 0 || h.item_size <= 0 || h.area_size <= 0) return -1;
    // Every field is untrusted: the products of two 32-bit values fit in 64
    // bits, everything else is checked.
    int64_t n = int64_t{entry} * h.items_per_entry + item;
    int64_t per_area = int64_t{h.items_per_entry} * h.entries_per_area;
    int64_t area = n / per_area;
    int64_t pos = 0;
    if (__builtin_mul_overflow(area, int64_t{h.area_size}, &pos)) return -1;
    int64_t in_area = 0;
    if (__builtin_mul_overflow(n % per_area, int64_t{h.item_size}, &in_area)) return -1;
    int64_t rest = int64_t{h.header_size} + int64_t{h.entries_per_area} * kBitmapEntryBytes;
    if (__builtin_add_overflow(pos, rest, &pos) || __builtin_add_overflow(pos, in_area, &pos)) return -1;
    return pos;
}

bool bitmap_read_item(Store& store, const Bitmap& bm, uint32_t entry, uint32_t item, std::span<uint8_t> buf) {
    int32_t size = bm.header.item_size;
    if (size <= 0 || static_cast<size_t>(size) > buf.size()) return false;
    int64_t pos = bitmap_item_pos(bm, entry, item);
    if (pos < 0) return false;
    return file_read(store, bm.inode, buf.data(), size, pos) == size;
}

void bitmap_entry_parse(std::span<const uint8_t> buf, BitmapEntry& e) {
    inode_parse_header(e.meta, buf);
    e.id = load_le<uint32_t>(buf, 0x200);
    e.total = load_le<uint32_t>(buf, 0x204);
    e.free = load_le<uint32_t>(buf, 0x208);
    e.first_free = load_le<uint32_t>(buf, 0x20C);
    load_bytes(buf, 0x210, e.bitmap);
}

bool bitmap_item_allocated(const BitmapHeader& h, const BitmapEntry& e, uint32_t entry, uint32_t item) {
    if (h.items_per_entry <= 0) return true;
    int64_t r = (int64_t{entry} * h.items_per_entry + item) % h.items_per_entry;
    // An item without a bit in the 496-byte map is never offered as free.
    if (r < 0 || (r >> 3) >= kBitmapBytes) return true;
    return !((e.bitmap[r >> 3] >> (r & 7)) & 1);
}

void bitmap_set_provisional_fdc(Bitmap& fdc, int64_t blocksize) {
    Descriptor& n = fdc.inode;
    n.magic = kDescriptorMagic;
    n.size = blocksize;
    n.type = kTypeSystem;
    n.block_size = blocksize;
    n.block_count = 1;
    n.addr_mode = 1;
    n.blocks[0] = fb_build(provisional_fdc_block(blocksize));
}

} // namespace ds
