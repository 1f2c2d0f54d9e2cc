#pragma once
// export vmdk:N: the virtual disk of row N of the virtual-disk recovery, as
// far as the free pointer block it was found through addresses it.

#include "options.h"

#include "vmfs/datastore.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dscli {

// Whether SRC names a row of the virtual-disk recovery ("vmdk:3").
bool is_lost_disk_source(const std::string& src, bool formatted);

struct LostDiskSource {
    ds::File file;              // that one pointer block as the whole file
    uint32_t pointer_block = 0;
    int64_t partitions_end = 0;  // the disk holds at least this many bytes
};

// Runs the recovery and builds the stand-in for row N. Returns an exit status.
int prepare_lost_disk(ds::Datastore& store, const Options& opt, LostDiskSource& out);

// What an export of it says after "success": how much it covered, and that
// the virtual disk is larger when its partitions reach further.
std::vector<std::string> lost_disk_coverage(const LostDiskSource& src, int64_t written);

} // namespace dscli
