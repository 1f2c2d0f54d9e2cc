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

// The names directory entries still give the deleted items, each path
// printed as listings print names; Ctrl-C ends the gathering early.
ds::DeletedNames gather_deleted_names(const ds::Datastore& store, const std::vector<ds::DeletedItem>& items);

// Runs a scan with the progress bar and Ctrl-C wired to its progress callback.
ds::ScanEnd run_scan(const Options& opt, const std::function<ds::ScanEnd(const ds::ScanProgress&)>& scan);
// The end of a scan command: "finish" on stdout (text mode) when the scan
// completed; otherwise its message on stderr and exit 1. A scan that
// completed past unreadable areas (--rescue) then says how many on stderr
// and exits 3.
int scan_status(const Options& opt, ds::ScanEnd end, const std::vector<ds::SkippedArea>& unreadable = {});

// The areas a scan passed over, for --json: [{"in", "offset", "length"}...],
// offsets in the system file named, or on the logical volume ("volume").
nlohmann::json skipped_json(const std::vector<ds::SkippedArea>& unreadable);

// Prints the rows a scan found, also when it stopped early (they stay, as
// they stay in the window's list): with --json one document holding them
// under "rows" and how the scan ended, otherwise one line per row. Then the
// scan's end as scan_status gives it.
// With --rescue a row read only in part says so: "partly_unreadable" in
// JSON, a last column "partly unreadable" in text, and the JSON document
// names the areas passed over under "unreadable".
template <class Row, class AsJson, class AsLine>
int print_scan_rows(const Options& opt, ds::ScanEnd end, const std::vector<Row>& rows, AsJson as_json,
                    AsLine as_line, const std::vector<ds::SkippedArea>& unreadable = {}) {
    if (opt.json) {
        nlohmann::json j = nlohmann::json::array();
        for (const Row& r : rows) {
            nlohmann::json row = as_json(r);
            if (opt.rescue) row["partly_unreadable"] = r.partly_unreadable;
            j.push_back(std::move(row));
        }
        nlohmann::json doc = {{"rows", std::move(j)}, {"finished", end == ds::ScanEnd::finished},
                              {"end", ds::scan_end_message(end)}};
        if (opt.rescue) doc["unreadable"] = skipped_json(unreadable);
        out_json(doc);
    } else {
        for (const Row& r : rows) out_line(r.partly_unreadable ? as_line(r) + "\tpartly unreadable" : as_line(r));
    }
    return scan_status(opt, end, unreadable);
}

} // namespace dscli
