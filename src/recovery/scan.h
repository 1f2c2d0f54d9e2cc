#pragma once
// The walk over the free items of a bitmap system file, shared by the three
// recovery scans, and how a scan ended.

#include "vmfs/bitmap.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace ds {

struct Datastore;

enum class ScanEnd {
    finished,                 // every area walked: "finish"
    bitmap_read_failed,       // a bitmap entry could not be read in full
    descriptor_read_failed,   // a free slot's descriptor unreadable: "rinode get error"
    cancelled,                // the operator asked to stop
    not_open,                 // the file system has not been opened: "please view file first"
    fdc_missing,              // the opening found no ".fdc.sf": "fdc open error"
    sbc_missing,              // the opening found no ".sbc.sf": "sbc open error"
    pbc_missing,              // the opening found no ".pbc.sf": "pbc open error"
    row_limit,                // more rows than the scan keeps: stopped at its bound
};

// Whether a scan that ended this way stopped on the way and keeps the rows
// it found before (a read that failed, a bound reached), rather than having
// found nothing to stand on.
constexpr bool scan_stopped_early(ScanEnd end) {
    return end == ScanEnd::bitmap_read_failed || end == ScanEnd::descriptor_read_failed || end == ScanEnd::row_limit;
}

// What a scan found and how it ended. Rows are handed to the caller's row
// function as they are found (the window shows them at once); without one
// they are collected here.
template <class Row>
struct ScanResult {
    ScanEnd end = ScanEnd::finished;
    std::vector<Row> rows;
};

// Whether a scan that reads through the given system files (SystemFileBit
// values) may start: finished when it may, not_open before the file system
// has been opened, and the missing file's end when the opening did not find
// one (a scan through it would find nothing and seem to succeed).
ScanEnd scan_precondition(Datastore& store, uint8_t needs);

// Called once per area with the gauge value (0..100); false cancels.
using ScanProgress = std::function<bool(int gauge)>;

enum class Visit { next, stop_walk, end_command };
using FreeItemVisit = std::function<Visit(uint32_t entry_id, uint32_t item)>;

// Gauge value after area a of area_count: 100 * a / (area_count - 1),
// rounded half to even; 100 when there is one area.
int gauge_value(int32_t area, int32_t area_count);

// Visits every free item of bm in walk order (areas, entries, items
// ascending). Without progress (null) the walk does not report per area.
ScanEnd scan_free_items(Datastore& store, const tvmfs_bitmap& bm, const FreeItemVisit& visit, const ScanProgress* progress);

// What the walk does with a bitmap entry that cannot be read in full: end
// with bitmap_read_failed, or pass over it and go on.
//
// Header and entry values come from the disk and are bounded: the walk stops
// where the system file's descriptor can address nothing more, an area holds
// no more entries than fit in its area_size, and an entry offers no item past
// its items_per_entry nor past the 3968 bits of its map.
//
// With a reader (an ItemWindow over bm) the entries are read through it, so
// that a visit asking the same reader for items finds them already read.
enum class EntryFailure { end_scan, skip_entry };
class ItemWindow;
ScanEnd scan_free_items(Datastore& store, const tvmfs_bitmap& bm, const FreeItemVisit& visit, const ScanProgress* progress,
                        EntryFailure on_failure, ItemWindow* reader = nullptr);

} // namespace ds
