#include "export_record.h"

#include "disks.h"
#include "output.h"

#include "vmfs/datastore.h"
#include "export/provenance.h"
#include "text/time_text.h"

#include <ctime>

namespace dscli {

nlohmann::json provenance_json(ds::Datastore& store, const Options& opt) {
    nlohmann::json disks = nlohmann::json::array();
    for (const std::string& text : opt.disks) {
        DiskSpec d;
        // Only disks that parsed were ever opened; an export cannot have run otherwise.
        if (!parse_disk_spec(text, d, nullptr)) continue;
        nlohmann::json j = {{"start_sector", d.start_sector}};
        put_name(j, d.path, "path");
        const int64_t size = store.disk.device_size(d.path);
        j["size"] = size >= 0 ? nlohmann::json(size) : nlohmann::json(nullptr);
        disks.push_back(std::move(j));
    }
    nlohmann::json args = nlohmann::json::array();
    nlohmann::json args_bytes = nlohmann::json::array();
    bool all_utf8 = true;
    for (const std::string& a : opt.command_line) {
        nlohmann::json one;
        put_name(one, a, "arg");
        args.push_back(one["arg"]);
        all_utf8 = all_utf8 && !one.contains("arg_bytes");
        args_bytes.push_back(one.contains("arg_bytes") ? one["arg_bytes"] : nlohmann::json(nullptr));
    }
    nlohmann::json p = {{"program", "datumsift"},
                        {"version", ds::program_version()},
                        {"disks", std::move(disks)},
                        {"started", ds::iso_utc_time(opt.started)},
                        {"ended", ds::iso_utc_time(static_cast<int64_t>(std::time(nullptr)))},
                        {"command_line", std::move(args)}};
    // An argument that is not UTF-8 is shown escaped; its exact bytes beside.
    if (!all_utf8) p["command_line_bytes"] = std::move(args_bytes);
    return p;
}

} // namespace dscli
