#pragma once
// The figures: each measured in child processes on the datastores of a
// manifest, printed as one line each.

#include "manifest.h"

#include <ostream>
#include <set>
#include <string>

namespace dsbench {

struct RunOptions {
    std::string work_dir;    // where the exported and copied files go
    int runs = 2;            // exports, dd copies, scans: the best is taken
    int list_runs = 5;       // the listing is short: more runs
    int format_runs = 1;     // the format recovery may take minutes
    int null_runs = 5;       // exports to /dev/null and dd to /dev/null, in turns
    std::set<int> only;      // figure numbers; empty: all
};

// Prints one line per figure to out; false when a measurement failed or a
// result differed from what the datastores were built to hold.
bool run_figures(const Manifest& m, const RunOptions& options, std::ostream& out);

// The virtual-disk scan and the rebuild on the image of build_lost_candidates,
// best of runs, printed as one line with the bytes each read; false when
// they failed.
bool measure_lost(const std::string& image, int runs, std::ostream& out);

} // namespace dsbench
