#pragma once
// Automatic detection of a datastore's disks: find a volume header near the
// start of each drive, list the disks that hold the first segment, and join
// the chain of members in segment order. No output of its own (the lines
// the disk settings show are made in text/detect_text.h).

#include "vmfs/datastore.h"
#include "vmfs/volume.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

struct Store;

// Last byte offset at which a header is looked for (inclusive): partitions
// that start at most 9 MiB into a drive.
inline constexpr int64_t kDetectScanEnd = 0xA00000;

// Scans the devices in the order given. A header magic found before 1 MiB
// is passed over and the scan goes on: its partition would have to start
// before the drive does.
Detection detect_candidates(Store& store, const std::vector<std::string>& devices);

// first_segment_candidates is part of the face (datastore.h).

// Empties the disk table and joins candidate k and then, one at a time, the
// lowest-indexed candidate that continues the chain. Returns the refusal of
// the add_disk that stopped it (none when the chain simply ended). Refusing
// the first disk leaves the table empty.
AddDiskRefusal assemble_volume(Store& store, const Detection& d, int k);

} // namespace ds
