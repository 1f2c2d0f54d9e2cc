#pragma once
// The walk over the free items of a bitmap system file, shared by the three
// recovery scans, and how a scan ended.

#include "vmfs/datastore.h"
#include "vmfs/bitmap.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace ds {

struct Store;

// Whether a scan that reads through the given system files (SystemFileBit
// values) may start: finished when it may, not_open before the file system
// has been opened, and the missing file's end when the opening did not find
// one (a scan through it would find nothing and seem to succeed).
ScanEnd scan_precondition(Store& store, uint8_t needs);

enum class Visit { next, stop_walk, end_command };
using FreeItemVisit = std::function<Visit(uint32_t entry_id, uint32_t item)>;

// Gauge value after area a of area_count: 100 * a / (area_count - 1),
// rounded half to even; 100 when there is one area.
int gauge_value(int32_t area, int32_t area_count);

// Visits every free item of bm in walk order (areas, entries, items
// ascending). Without progress (null) the walk does not report per area.
ScanEnd scan_free_items(Store& store, const Bitmap& bm, const FreeItemVisit& visit, const ScanProgress* progress);

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
//
// With a rescue that is on, an entry that cannot be read is passed over
// whatever on_failure says, and noted as an area of `in` skipped.
enum class EntryFailure { end_scan, skip_entry };
class ItemWindow;
class ScanRescue;
ScanEnd scan_free_items(Store& store, const Bitmap& bm, const FreeItemVisit& visit, const ScanProgress* progress,
                        EntryFailure on_failure, ItemWindow* reader = nullptr, ScanRescue* rescue = nullptr,
                        SkippedIn in = SkippedIn::fdc);

} // namespace ds
