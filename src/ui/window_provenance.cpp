#include "ui/window_provenance.h"

#include "export/provenance.h"
#include "text/name_text.h"
#include "vmfs/datastore.h"

namespace ds::ui {

std::string window_provenance(Datastore& store, int64_t started, const std::vector<std::string>& arguments,
                              const std::string& command) {
    std::vector<ProvenanceDisk> disks;
    for (int i = 0; i < store.volume().loaded_extents; ++i) disks.push_back({store.volume().volumes[i].device, store.volume().volumes[i].start_sector});
    nlohmann::json p = provenance_json(store, disks, started, arguments);
    p["command"] = utf8_or_printable(command);
    return p.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ds::ui
