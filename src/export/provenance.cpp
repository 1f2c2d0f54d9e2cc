#include "export/provenance.h"

#include "text/name_text.h"
#include "text/time_text.h"
#include "vmfs/datastore.h"

#include <ctime>

namespace ds {

const char* program_version() { return DATUMSIFT_VERSION; }

nlohmann::json provenance_json(Datastore& store, const std::vector<ProvenanceDisk>& disks, int64_t started,
                               const std::vector<std::string>& command_line) {
    nlohmann::json shown_disks = nlohmann::json::array();
    for (const ProvenanceDisk& d : disks) {
        nlohmann::json j = {{"start_sector", d.start_sector}};
        if (is_utf8(d.path)) {
            j["path"] = d.path;
        } else {
            j["path"] = printable_path(d.path);
            j["path_bytes"] = hex_bytes(d.path);
        }
        const int64_t size = store.device_size(d.path);
        j["size"] = size >= 0 ? nlohmann::json(size) : nlohmann::json(nullptr);
        shown_disks.push_back(std::move(j));
    }
    nlohmann::json args = nlohmann::json::array();
    nlohmann::json args_bytes = nlohmann::json::array();
    bool all_utf8 = true;
    for (const std::string& a : command_line) {
        const bool utf8 = is_utf8(a);
        all_utf8 = all_utf8 && utf8;
        args.push_back(utf8 ? a : printable_path(a));
        args_bytes.push_back(utf8 ? nlohmann::json(nullptr) : nlohmann::json(hex_bytes(a)));
    }
    nlohmann::json p = {{"program", "datumsift"},
                        {"version", program_version()},
                        {"disks", std::move(shown_disks)},
                        {"started", iso_utc_time(started)},
                        {"ended", iso_utc_time(static_cast<int64_t>(std::time(nullptr)))},
                        {"command_line", std::move(args)}};
    if (!all_utf8) p["command_line_bytes"] = std::move(args_bytes);
    return p;
}

} // namespace ds
