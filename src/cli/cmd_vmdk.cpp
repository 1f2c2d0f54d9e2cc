#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"

#ifdef DATUMSIFT_HAVE_RECOVERY
#include "recovery/lost_vmdks.h"
#endif

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_vmdk(const Options& opt) {
#ifdef DATUMSIFT_HAVE_RECOVERY
    int rc = open_datastore(opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::PartitionRow> rows;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return ds::scan_lost_vmdks(progress, [&](const ds::PartitionRow& row) { rows.push_back(row); });
    });
    if (opt.json) {
        nlohmann::json j = nlohmann::json::array();
        for (const ds::PartitionRow& r : rows)
            j.push_back({{"sn", r.sn}, {"ID", r.id}, {"type", r.type}, {"size", r.size}});
        out_json({{"rows", std::move(j)},
                  {"finished", end == ds::ScanEnd::finished},
                  {"end", ds::scan_end_message(end)}});
    } else {
        for (const ds::PartitionRow& r : rows) out_line(r.sn + "\t" + r.id + "\t" + r.type + "\t" + r.size);
    }
    return scan_status(opt, end);
#else
    (void)opt;
    return recovery_unavailable();
#endif
}

} // namespace dscli
