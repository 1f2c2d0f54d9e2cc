#pragma once
// The full-size datastore's figures: 32 members of 2 TiB and a million
// files, the command-line program run on it as a user runs it, each command
// in a process of its own (wall time and that process's peak resident size),
// the scans and the timeline beside one dd read of the system files they need.

#include <cstdint>
#include <ostream>
#include <string>

namespace dsbench {

struct HugeOptions {
    std::string work_dir;        // the images go to work_dir/ds, exports and the mount point beside
    uint64_t files = 1000000;    // fewer: the small shape on small members, for a quick check
    int runs = 3;                // each command this many times; the best is taken (the first warms the page cache)
    std::string cli;             // the datumsift program; empty: the one of this build
    bool reuse = false;          // images already in work_dir/ds (from an earlier --keep run)
};

// Prints one line per figure; false when a command failed, printed other
// than what the datastore was built to hold, or missed a goal.
bool run_huge(const HugeOptions& options, std::ostream& out);

} // namespace dsbench
