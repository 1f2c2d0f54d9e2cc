#include "commands.h"
#include "output.h"
#include "vmfs/datastore.h"

#include "text/drive_text.h"
#include "text/progress_text.h"

#include <nlohmann/json.hpp>

namespace dscli {
namespace {

std::string size_of(const ds::DriveInfo& d) {
    return ds::size_text(static_cast<double>(d.total_sectors) * static_cast<double>(ds::kSectorSize));
}

} // namespace

// One line per drive: the menu text of the disk settings, TAB, the device
// path to give to -d, TAB, the size in the binary units every other size
// of the program uses (the menu text keeps the disk settings' own words).
int cmd_disks(ds::Datastore&, const Options& opt) {
    std::vector<ds::DriveInfo> drives = ds::list_drives();
    if (opt.json) {
        nlohmann::json j = nlohmann::json::array();
        for (const ds::DriveInfo& d : drives)
            j.push_back({{"number", d.number},
                         {"device", d.device},
                         {"removable", d.removable},
                         {"total_sectors", d.total_sectors},
                         {"size", size_of(d)},
                         {"text", ds::drive_item_text(d)},
                         {"kind_code", ds::drive_kind_code(d)}});
        out_json({{"drives", std::move(j)}});
        return kExitOk;
    }
    for (const ds::DriveInfo& d : drives) out_line(ds::drive_item_text(d) + "\t" + d.device + "\t" + size_of(d));
    return kExitOk;
}

} // namespace dscli
