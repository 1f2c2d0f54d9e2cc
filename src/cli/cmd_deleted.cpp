#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"

#include "text/row_text.h"
#include "text/time_text.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_deleted(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::FileRow> rows;
    std::vector<ds::SkippedArea> unreadable;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::FileRow> found = store.scan_deleted(progress);
        rows = std::move(found.rows);
        unreadable = std::move(found.unreadable);
        return found.end;
    });
    return print_scan_rows(
        opt, end, rows,
        [](const ds::FileRow& r) {
            const std::array<std::string, 7> cells = ds::file_row_cells(r);
            // The blank "ID" column carries nothing; the descriptor id takes
            // its place as a number.
            return nlohmann::json{{"sn", r.n},
                                  {"id", r.descriptor_id},
                                  {"type", cells[2]},
                                  {"size", cells[3]},
                                  {"create_at", cells[4]},
                                  {"last_update_at", cells[5]},
                                  {"atime", cells[6]},
                                  {"created", ds::iso_utc_time(r.create_time)},
                                  {"modified", ds::iso_utc_time(r.update_time)},
                                  {"accessed", ds::iso_utc_time(r.access_time)},
                                  {"bytes", r.bytes}};
        },
        [&](const ds::FileRow& r) {
            // -l fills the blank ID column with the id export takes after '#'
            // and adds the exact size; without it the rows stay the window's.
            std::array<std::string, 7> cells = ds::file_row_cells(r);
            if (opt.long_format) cells[1] = std::to_string(r.descriptor_id);
            std::string line = cells[0];
            for (size_t i = 1; i < cells.size(); ++i) line += "\t" + cells[i];
            if (opt.long_format) line += "\t" + std::to_string(r.bytes);
            return line;
        },
        unreadable);
}

} // namespace dscli
