#include "commands.h"
#include "disks.h"
#include "interrupt.h"
#include "output.h"
#include "scans.h"

#include "text/row_text.h"
#include "text/time_text.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_deleted(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    // The directories found after a reformat name what they held.
    if (opt.formatted && (rc = prepare_formatted(store, opt)) != kExitOk) return rc;
    std::vector<ds::FileRow> rows;
    std::vector<ds::SkippedArea> unreadable;
    // The deleted directories are always looked for: their entries name the
    // deleted files.
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::FileRow> found = store.scan_deleted(progress, {}, true);
        rows = std::move(found.rows);
        unreadable = std::move(found.unreadable);
        return found.end;
    });
    ds::DeletedNames names;
    if ((opt.long_format || opt.json) && end != ds::ScanEnd::cancelled) {
        std::vector<ds::DeletedItem> items;
        items.reserve(rows.size());
        for (const ds::FileRow& r : rows) items.push_back({r.descriptor_id, r.is_dir});
        names = gather_deleted_names(store, items);
    }
    if (!opt.dirs) {
        // The files alone, numbered as a scan for files alone numbers them.
        int n = 0;
        std::erase_if(rows, [](const ds::FileRow& r) { return r.is_dir; });
        for (ds::FileRow& r : rows) r.n = ++n;
    }
    auto name_of = [&names](const ds::FileRow& r) -> const ds::DeletedName* {
        const auto it = names.find(r.descriptor_id);
        return it == names.end() ? nullptr : &it->second;
    };
    return print_scan_rows(
        opt, end, rows,
        [&](const ds::FileRow& r) {
            const std::array<std::string, 7> cells = ds::file_row_cells(r);
            // The blank "ID" column carries nothing; the descriptor id takes
            // its place as a number.
            nlohmann::json j{{"sn", r.n},
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
            // Names are bytes: the exact name goes out as JSON text (invalid
            // UTF-8 replaced), the path as listings print it.
            if (const ds::DeletedName* name = name_of(r)) {
                j["name"] = name->name;
                j["path"] = ds::deleted_path_text(*name);
                j["named_in"] = name->in == ds::NamedIn::live_dir    ? "live"
                              : name->in == ds::NamedIn::found_dir ? "found"
                                                                   : "deleted";
            } else {
                j["name"] = nullptr;
                j["path"] = nullptr;
            }
            return j;
        },
        [&](const ds::FileRow& r) {
            // -l fills the blank ID column with the id export takes after '#'
            // and adds the exact size and the path; without it the rows stay
            // the window's.
            std::array<std::string, 7> cells = ds::file_row_cells(r);
            if (opt.long_format) cells[1] = std::to_string(r.descriptor_id);
            std::string line = cells[0];
            for (size_t i = 1; i < cells.size(); ++i) line += "\t" + cells[i];
            if (opt.long_format) {
                line += "\t" + std::to_string(r.bytes);
                const ds::DeletedName* name = name_of(r);
                line += "\t" + (name ? ds::deleted_path_text(*name) : std::string());
            }
            return line;
        },
        unreadable);
}

} // namespace dscli
