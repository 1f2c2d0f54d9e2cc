#include "export_record.h"

#include "disks.h"

#include "export/provenance.h"

namespace dscli {

nlohmann::json provenance_json(ds::Datastore& store, const Options& opt) {
    std::vector<ds::ProvenanceDisk> disks;
    for (const std::string& text : opt.disks) {
        DiskSpec d;
        // Only disks that parsed were ever opened; an export cannot have run otherwise.
        if (parse_disk_spec(text, d, nullptr)) disks.push_back({d.path, d.start_sector});
    }
    return ds::provenance_json(store, disks, opt.started, opt.command_line);
}

} // namespace dscli
