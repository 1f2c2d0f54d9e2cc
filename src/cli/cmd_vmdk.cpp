#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"

#include "text/row_text.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_vmdk(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::PartitionRow> rows;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::PartitionRow> found = store.scan_lost_disks(progress);
        rows = std::move(found.rows);
        return found.end;
    });
    return print_scan_rows(
        opt, end, rows,
        [](const ds::PartitionRow& r) {
            const std::array<std::string, 4> cells = ds::partition_row_cells(r);
            return nlohmann::json{{"sn", r.n},
                                  {"type", cells[2]},
                                  {"size", cells[3]},
                                  {"pointer_block", r.pointer_block},
                                  {"first_block", r.first_block},
                                  {"addressed_bytes", r.addressed_bytes},
                                  {"partitions_end", r.partitions_end}};
        },
        [](const ds::PartitionRow& r) {
            const std::array<std::string, 4> cells = ds::partition_row_cells(r);
            return cells[0] + "\t" + cells[1] + "\t" + cells[2] + "\t" + cells[3];
        });
}

} // namespace dscli
