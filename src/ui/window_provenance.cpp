#include "ui/window_provenance.h"

#include "export/provenance.h"
#include "text/name_text.h"
#include "text/time_text.h"
#include "vmfs/datastore.h"

#include <nlohmann/json.hpp>

#include <ctime>

namespace ds::ui {
namespace {

// A path that is not UTF-8 is written escaped, its exact bytes beside.
void put_path(nlohmann::json& j, const std::string& raw, const std::string& key) {
    if (is_utf8(raw)) {
        j[key] = raw;
        return;
    }
    j[key] = printable_path(raw);
    j[key + "_bytes"] = hex_bytes(raw);
}

} // namespace

std::string window_provenance(Datastore& store, int64_t started, const std::vector<std::string>& arguments,
                              const std::string& command) {
    nlohmann::json disks = nlohmann::json::array();
    for (int i = 0; i < store.lvm.loaded_extents; ++i) {
        const TvmfsVOLUME& v = store.lvm.volumes[i];
        nlohmann::json d = {{"start_sector", v.start_sector}};
        put_path(d, v.device, "path");
        const int64_t size = store.disk.device_size(v.device);
        d["size"] = size >= 0 ? nlohmann::json(size) : nlohmann::json(nullptr);
        disks.push_back(std::move(d));
    }
    nlohmann::json args = nlohmann::json::array();
    nlohmann::json args_bytes = nlohmann::json::array();
    bool all_utf8 = true;
    for (const std::string& a : arguments) {
        const bool utf8 = is_utf8(a);
        all_utf8 = all_utf8 && utf8;
        args.push_back(utf8 ? a : printable_path(a));
        args_bytes.push_back(utf8 ? nlohmann::json(nullptr) : nlohmann::json(hex_bytes(a)));
    }
    nlohmann::json p = {{"program", "datumsift"},
                        {"version", program_version()},
                        {"disks", std::move(disks)},
                        {"started", iso_utc_time(started)},
                        {"ended", iso_utc_time(static_cast<int64_t>(std::time(nullptr)))},
                        {"command_line", std::move(args)},
                        {"command", utf8_or_printable(command)}};
    if (!all_utf8) p["command_line_bytes"] = std::move(args_bytes);
    return p.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ds::ui
