#include "commands.h"
#include "output.h"
#include "vmfs/datastore.h"

#include "text/drive_text.h"

#include <nlohmann/json.hpp>

namespace dscli {

// One line per drive: the menu text of the disk settings, TAB, the device
// path to give to -d.
int cmd_disks(ds::Datastore&, const Options& opt) {
    std::vector<ds::DriveInfo> drives = ds::list_drives();
    if (opt.json) {
        nlohmann::json j = nlohmann::json::array();
        for (const ds::DriveInfo& d : drives)
            j.push_back({{"number", d.number},
                         {"device", d.device},
                         {"removable", d.removable},
                         {"total_sectors", d.total_sectors},
                         {"text", ds::drive_item_text(d)},
                         {"kind_code", ds::drive_kind_code(d)}});
        out_json({{"drives", std::move(j)}});
        return kExitOk;
    }
    for (const ds::DriveInfo& d : drives) out_line(ds::drive_item_text(d) + "\t" + d.device);
    return kExitOk;
}

} // namespace dscli
