#include "commands.h"
#include "disks.h"
#include "output.h"
#include "vmfs/datastore.h"

#include <nlohmann/json.hpp>

namespace dscli {
namespace {

// The pane's values as numbers: the logical volume, each member as it was
// given (path and start sector) with its size, and the file system.
nlohmann::json info_json(const ds::Datastore& store) {
    const ds::LogicalVolume& lvm = store.volume();
    const ds::FsParams fi = store.fs_params();
    nlohmann::json members = nlohmann::json::array();
    for (int k = 0; k < lvm.loaded_extents && k < ds::kMaxExtents; ++k) {
        const ds::VolumeMember& m = lvm.volumes[k];
        nlohmann::json j = {{"start_sector", m.start_sector},
                            // Seven bytes times 256 always fits in 64 unsigned bits.
                            {"size", static_cast<uint64_t>(m.size) * 256u},
                            {"first_segment", m.first_segment},
                            {"last_segment", m.last_segment}};
        put_name(j, m.device, "path");
        members.push_back(std::move(j));
    }
    return {{"lvm", {{"numofextents", lvm.numofextents}, {"size", lvm.size}, {"loaded_extents", lvm.loaded_extents}}},
            {"members", std::move(members)},
            {"fsinfo",
             {{"blocksize", fi.blocksize},
              {"subblocksize", fi.subblocksize},
              {"fdcheader_size", fi.fdcheader_size},
              {"fdcbitmap_count", fi.fdcbitmap_count}}}};
}

} // namespace

// The pane is printed whenever the opening filled it, even if a later step
// of the opening stopped with a message: the window shows both as well.
int cmd_info(ds::Datastore& store, const Options& opt) {
    int rc = add_disks(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<std::string> pane;
    std::string message;
    rc = open_file_system(store, &pane, &message);
    if (opt.json) {
        if (pane.empty()) return rc;
        nlohmann::json doc = info_json(store);
        // A script must not take a pane for an opened file system.
        doc["opened"] = rc == kExitOk;
        if (rc != kExitOk) doc["error"] = message;
        out_json(doc);
    } else {
        for (const std::string& line : pane) out_line(line);
    }
    return rc;
}

} // namespace dscli
