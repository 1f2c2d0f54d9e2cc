#include "recovery/scan_rescue.h"

#include "recovery/item_window.h"
#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/store.h"

#include <algorithm>

namespace ds {

void ScanRescue::skip(SkippedIn in, int64_t offset, int64_t length) {
    if (length <= 0) return;
    if (!out_.empty() && out_.back().in == in && out_.back().offset + out_.back().length == offset) {
        out_.back().length += length;
        return;
    }
    out_.push_back(SkippedArea{in, offset, length});
}

int64_t read_by_sectors(uint8_t* out, int64_t pos, int64_t len, const PieceRead& read, std::vector<ByteSpan>& lost) {
    constexpr int64_t kPiece = 512;
    int64_t got = 0;
    for (int64_t done = 0; done < len;) {
        const int64_t at = pos + done;
        const int64_t take = std::min(len - done, kPiece - at % kPiece);
        if (read(out + done, at, take)) {
            got += take;
        } else {
            std::fill_n(out + done, take, uint8_t{0});
            append_range(lost, {at, take});
        }
        done += take;
    }
    return got;
}

bool salvage_descriptor(Store& store, const Bitmap& bm, uint32_t entry, uint32_t item,
                        uint8_t (&out)[kDescriptorBytes], std::vector<ByteSpan>& lost) {
    std::fill(std::begin(out), std::end(out), uint8_t{0});
    const int64_t size = std::min<int64_t>(bm.header.item_size, kDescriptorBytes);
    const int64_t pos = bitmap_item_pos(bm, entry, item);
    if (size <= 0 || pos < 0) return false;
    std::vector<ByteSpan> pieces;
    const int64_t got = read_by_sectors(out, pos, size, [&](uint8_t* to, int64_t at, int64_t len) {
        return file_read(store, bm.inode, to, len, at) == len;
    }, pieces);
    if (got == 0) return false;
    lost.insert(lost.end(), pieces.begin(), pieces.end());
    return true;
}

SlotRead read_free_slot(Store& store, ItemWindow& slots, ScanRescue& rescue, uint32_t f,
                        uint8_t (&salvaged)[kDescriptorBytes], const uint8_t*& raw, bool& partial) {
    partial = false;
    raw = slots.descriptor(fd_entry(f), fd_item(f));
    if (raw) return SlotRead::read;
    if (!rescue.on()) return SlotRead::failed;
    // A slot with a bad sector may still name what it held in the sectors
    // around it: listed, marked, and the bad part named.
    const Bitmap& fdc = store.fs.fdc;
    std::vector<ByteSpan> lost;
    if (!salvage_descriptor(store, fdc, fd_entry(f), fd_item(f), salvaged, lost)) {
        rescue.skip(SkippedIn::fdc, bitmap_item_pos(fdc, fd_entry(f), fd_item(f)), fdc.header.item_size);
        return SlotRead::skipped;
    }
    for (const ByteSpan& r : lost) rescue.skip(SkippedIn::fdc, r.offset, r.length);
    raw = salvaged;
    partial = !lost.empty();
    return SlotRead::read;
}

} // namespace ds
