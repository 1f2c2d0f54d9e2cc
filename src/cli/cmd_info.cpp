#include "commands.h"
#include "disks.h"
#include "output.h"
#include "text/start_text.h"
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
                            {"start_from", ds::start_from_word(m.start_from)},
                            // Seven bytes times 256 always fits in 64 unsigned bits.
                            {"size", static_cast<uint64_t>(m.size) * 256u},
                            {"first_segment", m.first_segment},
                            {"last_segment", m.last_segment}};
        put_name(j, m.device, "path");
        members.push_back(std::move(j));
    }
    const ds::MissingSegments missing = store.missing_segments();
    nlohmann::json doc = {{"lvm", {{"numofextents", lvm.numofextents}, {"size", lvm.size}, {"loaded_extents", lvm.loaded_extents}}},
            {"degraded", missing.any()},
            {"members", std::move(members)},
            {"fsinfo",
             {{"blocksize", fi.blocksize},
              {"subblocksize", fi.subblocksize},
              {"fdcheader_size", fi.fdcheader_size},
              {"fdcbitmap_count", fi.fdcbitmap_count}}}};
    // What the members not given hold.
    if (missing.any())
        doc["missing"] = {{"first_segment", missing.first},
                          {"last_segment", missing.last},
                          {"bytes", missing.bytes},
                          {"members", missing.members}};
    return doc;
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
        // After the pane, so that its lines keep their places for scripts.
        const ds::LogicalVolume& lvm = store.volume();
        for (int k = 0; k < lvm.loaded_extents && k < ds::kMaxExtents; ++k)
            out_line(ds::start_line(k + 1, lvm.volumes[k]));
    }
    return rc;
}

} // namespace dscli
