#pragma once
// export vmdk:N: the virtual disk of row N of the virtual-disk recovery,
// rebuilt whole from the free pointer blocks, or (--first-pointer-block) as
// far as the free pointer block it was found through addresses it.

#include "options.h"

#include "vmfs/datastore.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace dscli {

// Whether SRC names a row of the virtual-disk recovery ("vmdk:3").
bool is_lost_disk_source(const std::string& src, bool formatted);

struct LostDiskSource {
    ds::File file;              // the rebuilt disk, or with --first-pointer-block that one pointer block
    bool rebuilt = false;
    ds::RebuiltDisk disk;       // when rebuilt: how each position was filled
    uint32_t pointer_block = 0;
    int64_t partitions_end = 0;  // the disk holds at least this many bytes
};

// Runs the recovery and builds the stand-in for row N. Returns an exit status.
int prepare_lost_disk(ds::Datastore& store, const Options& opt, LostDiskSource& out);

// What an export of it says after "success": for a rebuilt disk how much
// each kind of evidence placed and which positions stayed holes; for one
// pointer block how much it covered, and that the virtual disk is larger
// when its partitions reach further.
std::vector<std::string> lost_disk_coverage(const LostDiskSource& src, int64_t written);
// The same for --json.
void lost_disk_json(const LostDiskSource& src, int64_t written, nlohmann::json& doc);

} // namespace dscli
