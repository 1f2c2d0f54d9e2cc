#pragma once
// Running the recovery scans from the shell: progress on stderr, Ctrl-C to
// stop, and the format recovery that --formatted paths stand on.

#include "options.h"

#ifdef DATUMSIFT_HAVE_RECOVERY
#include "recovery/scan.h"
#include <functional>
#endif

namespace dscli {

// Whether this build carries the recovery scans.
bool recovery_available();
// The message and status for a recovery command in a build without them.
int recovery_unavailable();

// Runs the format recovery so that paths below "DIR<n>" resolve. A scan that
// stops early keeps the directories found so far and warns; Ctrl-C ends the
// run. Returns an exit status.
int prepare_formatted(const Options& opt);

#ifdef DATUMSIFT_HAVE_RECOVERY
// Runs a scan with the progress bar and Ctrl-C wired to its progress callback.
ds::ScanEnd run_scan(const Options& opt, const std::function<ds::ScanEnd(const ds::ScanProgress&)>& scan);
// The end of a scan command: "finish" on stdout (text mode) when the scan
// completed; otherwise its message on stderr and exit 1.
int scan_status(const Options& opt, ds::ScanEnd end);
#endif

} // namespace dscli
