#include "vmfs/inode.h"
#include "vmfs/store.h"

#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace ds {

void inode_parse_header(Descriptor& n, std::span<const uint8_t> b) {
    n.magic = load_le<uint32_t>(b, 0x00);
    n.meta_pos = load_le<int64_t>(b, 0x04);
    n.meta_hb_pos = load_le<int64_t>(b, 0x0C);
    n.meta_hb_seq = load_le<int64_t>(b, 0x14);
    n.meta_obj_seq = load_le<int64_t>(b, 0x1C);
    n.meta_hb_lock = load_le<uint32_t>(b, 0x24);
    load_bytes(b, 0x28, n.meta_hb_uuid);
    load_bytes(b, 0x38, n.meta_mtime);
}

namespace {

// The fields between the header and the block list.
void parse_fields(Descriptor& n, std::span<const uint8_t> b) {
    n.id = load_le<uint32_t>(b, 0x200);
    n.id2 = load_le<uint32_t>(b, 0x204);
    n.nlink = load_le<uint32_t>(b, 0x208);
    n.type = load_le<uint32_t>(b, 0x20C);
    n.flags = load_le<uint32_t>(b, 0x210);
    n.size = load_le<int64_t>(b, 0x214);
    n.block_size = load_le<int64_t>(b, 0x21C);
    n.block_count = load_le<int64_t>(b, 0x224);
    n.create_time = load_le<int32_t>(b, 0x22C);
    n.update_time = load_le<int32_t>(b, 0x230);
    n.atime = load_le<int32_t>(b, 0x234);
    n.uid = load_le<uint32_t>(b, 0x238);
    n.gid = load_le<uint32_t>(b, 0x23C);
    n.mode = load_le<uint32_t>(b, 0x240);
    n.addr_mode = load_le<uint32_t>(b, 0x244);
    n.tbz = load_le<uint32_t>(b, 0x248);
    n.cow = load_le<uint32_t>(b, 0x24C);
}

} // namespace

void inode_parse(Descriptor& n, std::span<const uint8_t> b) {
    inode_parse_header(n, b);
    parse_fields(n, b);
    if (n.type == kTypeSymlink) {
        n.type6_value = load_le<uint32_t>(b, 0x400);
    } else if (std::endian::native == std::endian::little && b.size() >= 0x400 + sizeof n.blocks) {
        // A walk parses a million of these: one copy, not 256 checked loads.
        std::memcpy(n.blocks, b.data() + 0x400, sizeof n.blocks);
    } else {
        for (int i = 0; i < kBlockSlots; ++i) n.blocks[i] = load_le<uint32_t>(b, 0x400 + 4 * i);
    }
}

bool inode_read_raw(Store& store, uint32_t id, uint8_t (&buf)[kDescriptorBytes]) {
    const Bitmap& fdc = store.fs.fdc;
    // Items shorter than a descriptor leave its tail zero; the item read
    // fills the rest (every recovery scan reads one descriptor per free slot).
    int32_t item = std::clamp<int32_t>(fdc.header.item_size, 0, kDescriptorBytes);
    std::memset(buf + item, 0, static_cast<size_t>(kDescriptorBytes - item));
    return bitmap_read_item(store, fdc, fd_entry(id), fd_item(id), buf);
}

int inode_get_fields(Store& store, uint32_t id, Descriptor& inode) {
    const Bitmap& fdc = store.fs.fdc;
    const int32_t size = fdc.header.item_size;
    // Refused as inode_get refuses them: an item that is no descriptor's
    // size, or that the file does not hold whole.
    if (size <= 0 || size > kDescriptorBytes) return -1;
    const int64_t pos = bitmap_item_pos(fdc, fd_entry(id), fd_item(id));
    if (pos < 0 || pos > fdc.inode.size - size) return -1;
    // An item too short to hold them leaves them zero, as inode_get does.
    // Only the fields' bytes are set and parsed.
    uint8_t buf[kDescriptorFieldsEnd];
    std::memset(buf + kDescriptorFieldsStart, 0, kDescriptorFieldsEnd - kDescriptorFieldsStart);
    const int32_t want = std::min<int32_t>(size, kDescriptorFieldsEnd) - kDescriptorFieldsStart;
    if (want > 0 && file_read(store, fdc.inode, buf + kDescriptorFieldsStart, want, pos + kDescriptorFieldsStart) != want)
        return -1;
    parse_fields(inode, buf);
    return 0;
}

int inode_get_probe(Store& store, uint32_t id, Descriptor& inode) {
    // Refused as bitmap_read_item refuses them.
    const Bitmap& fdc = store.fs.fdc;
    const int32_t size = fdc.header.item_size;
    if (size <= 0 || size > kDescriptorBytes) return -1;
    const int64_t pos = bitmap_item_pos(fdc, fd_entry(id), fd_item(id));
    if (pos < 0) return -1;
    uint8_t buf[kDescriptorBytes] = {};
    if (file_read_probe(store, fdc.inode, buf, size, pos) != size) return -1;
    inode_parse(inode, buf);
    return 0;
}

int inode_get(Store& store, uint32_t id, Descriptor& inode) {
    uint8_t buf[kDescriptorBytes];
    if (!inode_read_raw(store, id, buf)) return -1;
    inode_parse(inode, buf);
    return 0;
}

void inode_inline_bytes(const Descriptor& inode, uint8_t (&out)[1024]) {
    for (int i = 0; i < kBlockSlots; ++i) store_le32(out + 4 * i, inode.blocks[i]);
}

} // namespace ds
