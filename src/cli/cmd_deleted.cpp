#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"
#include "vmfs/datastore.h"

#include "recovery/deleted_files.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_deleted(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::FileRow> rows;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::FileRow> found = ds::scan_deleted_files(store, progress);
        rows = std::move(found.rows);
        return found.end;
    });
    return print_scan_rows(
        opt, end, rows,
        [](const ds::FileRow& r) {
            // The blank "ID" column carries nothing; the descriptor id takes
            // its place as a number.
            return nlohmann::json{{"sn", r.n},
                                  {"id", r.descriptor_id},
                                  {"type", r.type},
                                  {"size", r.size},
                                  {"create_at", r.create_at},
                                  {"last_update_at", r.update_at},
                                  {"atime", r.atime},
                                  {"created", ds::iso_utc_time(r.create_time)},
                                  {"modified", ds::iso_utc_time(r.update_time)},
                                  {"accessed", ds::iso_utc_time(r.access_time)},
                                  {"bytes", r.bytes}};
        },
        [&](const ds::FileRow& r) {
            // -l fills the blank ID column with the id export takes after '#'
            // and adds the exact size; without it the rows stay the window's.
            const std::string id = opt.long_format ? std::to_string(r.descriptor_id) : r.id;
            std::string line = r.sn + "\t" + id + "\t" + r.type + "\t" + r.size + "\t" + r.create_at + "\t" +
                               r.update_at + "\t" + r.atime;
            if (opt.long_format) line += "\t" + std::to_string(r.bytes);
            return line;
        });
}

} // namespace dscli
