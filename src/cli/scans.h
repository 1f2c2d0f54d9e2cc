#pragma once
// Running the recovery scans from the shell: progress on stderr, Ctrl-C to
// stop, and the format recovery that --formatted paths stand on.

#include "options.h"

#include "output.h"
#include "vmfs/datastore.h"
#include "text/messages.h"
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace dscli {

// Runs the format recovery so that paths below "DIR<n>" resolve. A scan that
// stops early keeps the directories found so far and warns; Ctrl-C ends the
// run. Returns an exit status.
int prepare_formatted(ds::Datastore& store, const Options& opt);

// Runs a scan with the progress bar and Ctrl-C wired to its progress callback.
ds::ScanEnd run_scan(const Options& opt, const std::function<ds::ScanEnd(const ds::ScanProgress&)>& scan);
// The end of a scan command: "finish" on stdout (text mode) when the scan
// completed; otherwise its message on stderr and exit 1.
int scan_status(const Options& opt, ds::ScanEnd end);

// Prints the rows a scan found, also when it stopped early (they stay, as
// they stay in the window's list): with --json one document holding them
// under "rows" and how the scan ended, otherwise one line per row. Then the
// scan's end as scan_status gives it.
template <class Row, class AsJson, class AsLine>
int print_scan_rows(const Options& opt, ds::ScanEnd end, const std::vector<Row>& rows, AsJson as_json,
                    AsLine as_line) {
    if (opt.json) {
        nlohmann::json j = nlohmann::json::array();
        for (const Row& r : rows) j.push_back(as_json(r));
        out_json({{"rows", std::move(j)}, {"finished", end == ds::ScanEnd::finished}, {"end", ds::scan_end_message(end)}});
    } else {
        for (const Row& r : rows) out_line(as_line(r));
    }
    return scan_status(opt, end);
}

} // namespace dscli
