#include "vmfs/extents.h"
#include "vmfs/store.h"

#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"

#include <algorithm>

namespace ds {
namespace {

void append(std::vector<Extent>& out, const Extent& e) {
    if (e.length <= 0) return;
    if (!out.empty()) {
        Extent& last = out.back();
        const bool joins =
            last.kind == e.kind && last.offset + last.length == e.offset &&
            (e.kind == Extent::Kind::hole ||
             (e.kind == Extent::Kind::data && last.lv_offset >= 0 && e.lv_offset == last.lv_offset + last.length));
        if (joins) {
            last.length += e.length;
            return;
        }
    }
    out.push_back(e);
}

} // namespace

std::vector<Extent> file_extents(Store& store, const Descriptor& inode, uint32_t descriptor_id) {
    std::vector<Extent> out;
    if (inode.size <= 0) return out;
    if (inode.size <= kInlineLimit && inode.type != kTypeDir) {
        // As the export reads it: from the descriptor, whatever the block list says.
        out.push_back({Extent::Kind::inline_data, 0, inode.size, descriptor_id, -1});
        return out;
    }
    int64_t p = 0;
    while (p < inode.size) {
        uint32_t id = 0;
        if (inode.block_size <= 0 || file_block_lookup(store, inode, p, &id) != 0) {
            append(out, {Extent::Kind::unaddressable, p, inode.size - p, 0, -1});
            break;
        }
        const int64_t unit = std::min(inode.block_size - p % inode.block_size, inode.size - p);
        if (id == 0) {
            append(out, {Extent::Kind::hole, p, unit, 0, -1});
        } else if (blkid_type(id) != kBlockFile && blkid_type(id) != kBlockSub) {
            append(out, {Extent::Kind::invalid, p, unit, id, -1});
        } else {
            // A slot that claims more than its block holds reads only what
            // the block holds; the read fails on the rest.
            const int64_t in_block = p % inode.block_size;
            const int64_t usable = std::clamp<int64_t>(block_capacity(store, id) - in_block, 0, unit);
            int64_t lv = -1;
            if (usable > 0) {
                lv = blkid_type(id) == kBlockFile ? int64_t{fb_item(id)} * store.fs.fsinfo.blocksize
                                                 : subblock_lv_offset(store, id);
                if (lv >= 0) lv += in_block;
            }
            append(out, {Extent::Kind::data, p, usable, id, lv});
            if (usable < unit) append(out, {Extent::Kind::invalid, p + usable, unit - usable, id, -1});
        }
        p += unit;
    }
    return out;
}


} // namespace ds
