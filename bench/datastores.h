#pragma once
// Builds the benchmark's datastores with the synthetic builder.

#include "manifest.h"

#include <cstdint>
#include <string>

namespace dsbench {

struct BuildOptions {
    // Scaled-down datastores (tens of MiB) for a quick check of the bench.
    bool small = false;
    // Size of the format-recovery case; 0 keeps the bench datastore's own.
    // Other values get a datastore of their own, so that the other figures
    // keep their full size.
    uint32_t format_dirs = 0;
    uint32_t format_free = 0;
    // The format-recovery case as a reformatted datastore holds it: 64 KiB
    // sub-blocks, the old directories' reused first blocks spread over
    // ".sbc.sf" among the free ones, and their surviving copies in no order.
    bool format_spread = false;
};

// Builds every datastore into dir (which must exist) and returns what the
// run step needs. Checks that the recorded extents hold the files' bytes.
Manifest build_datastores(const std::string& dir, const BuildOptions& options);

// A datastore whose ".pbc.sf" holds count free pointer blocks that each
// name file blocks, one of them a lost virtual disk with a boot record, the
// others two ids each out of a pool of 64 blocks (many equal fits for every
// position): what the virtual-disk scan and the rebuild meet on a datastore
// where thousands of disks were deleted. Returns the image's path.
// Without the boot record no row is found and nothing is rebuilt: the scan
// alone over the same ".pbc.sf".
std::string build_lost_candidates(const std::string& dir, uint32_t count, bool boot_record = true);

} // namespace dsbench
