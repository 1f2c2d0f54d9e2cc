#include "recovery/scan.h"
#include "vmfs/store.h"

#include "recovery/item_window.h"
#include "recovery/scan_rescue.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ds {


ScanEnd scan_precondition(Store& store, uint8_t needs) {
    if (!fs_is_open(store)) return ScanEnd::not_open;
    const uint8_t missing = needs & ~store.fs.found;
    if (missing & kFoundFdc) return ScanEnd::fdc_missing;
    if (missing & kFoundSbc) return ScanEnd::sbc_missing;
    if (missing & kFoundPbc) return ScanEnd::pbc_missing;
    return ScanEnd::finished;
}

int gauge_value(int32_t area, int32_t area_count) {
    // One area (or a nonsensical count) means the walk is done after it;
    // the plain formula would divide by zero there.
    if (area_count <= 1) return 100;
    double v = std::nearbyint(100.0 * area / (static_cast<double>(area_count) - 1.0));   // halves to even
    return static_cast<int>(std::clamp(v, 0.0, 100.0));
}

ScanEnd scan_free_items(Store& store, const Bitmap& bm, const FreeItemVisit& visit, const ScanProgress* progress,
                        EntryFailure on_failure, ItemWindow* reader, ScanRescue* rescue, SkippedIn in) {
    if (rescue && rescue->on()) on_failure = EntryFailure::skip_entry;
    const BitmapHeader& h = bm.header;
    if (h.area_count <= 0) return ScanEnd::finished;
    // Every count here comes from the disk. Entries lie inside their area;
    // more of them would be item data read as entries, and would put a whole
    // volume between two progress calls.
    const int64_t entries = std::min<int64_t>(h.entries_per_area, h.area_size / kBitmapEntryBytes);
    if (entries <= 0 || h.header_size < 0) {
        // A header that places no entry cannot be walked (bitmap_open refuses
        // such headers; this record was never opened properly).
        return on_failure == EntryFailure::skip_entry ? ScanEnd::finished : ScanEnd::bitmap_read_failed;
    }
    // Items past the entry's own items (or past the 3968 bits of its map)
    // would be tested against another item's bit and name an item of the
    // next entry, so the item loop stops at the smallest of the three bounds.
    const int64_t item_limit = std::min<int64_t>(h.items_per_entry, int64_t{kBitmapBytes} * 8);
    // Past what the descriptor can address no entry can be read, so neither
    // a corrupt area count nor a run of skipped entries keeps the walk going.
    const int64_t extent = file_extent(store, bm.inode);
    uint8_t raw[kBitmapEntryBytes];
    for (int32_t a = 0; a < h.area_count; ++a) {
        int64_t p = int64_t{h.header_size} + int64_t{a} * h.area_size;
        // Through the reader the area's entries are read together with the
        // items after them, which the visits then find already read. When
        // they cannot be read together, each is read on its own as always.
        const uint8_t* area_entries = reader ? reader->kept(p, entries * kBitmapEntryBytes) : nullptr;
        for (int64_t j = 0; j < entries; ++j, p += kBitmapEntryBytes) {
            if (p > extent - kBitmapEntryBytes)
                return on_failure == EntryFailure::skip_entry ? ScanEnd::finished : ScanEnd::bitmap_read_failed;
            const uint8_t* bytes = area_entries ? area_entries + j * kBitmapEntryBytes
                                 : file_read(store, bm.inode, raw, kBitmapEntryBytes, p) == kBitmapEntryBytes ? raw
                                                                                                      : nullptr;
            if (!bytes) {
                if (rescue && rescue->on()) rescue->skip(in, p, kBitmapEntryBytes);
                if (on_failure == EntryFailure::skip_entry) continue;
                return ScanEnd::bitmap_read_failed;
            }
            BitmapEntry e;
            bitmap_entry_parse({bytes, kBitmapEntryBytes}, e);
            if (e.free == 0) continue;
            const int64_t items = std::min<int64_t>(e.total, item_limit);
            for (int64_t i = 0; i < items; ++i) {
                auto item = static_cast<uint32_t>(i);
                if (bitmap_item_allocated(h, e, e.id, item)) continue;
                switch (visit(e.id, item)) {
                case Visit::next: break;
                case Visit::stop_walk: return ScanEnd::finished;
                case Visit::end_command: return ScanEnd::descriptor_read_failed;
                }
            }
        }
        if (progress && *progress && !(*progress)(gauge_value(a, h.area_count))) return ScanEnd::cancelled;
    }
    return ScanEnd::finished;
}

ScanEnd scan_free_items(Store& store, const Bitmap& bm, const FreeItemVisit& visit, const ScanProgress* progress) {
    return scan_free_items(store, bm, visit, progress, EntryFailure::end_scan, nullptr);
}

} // namespace ds
