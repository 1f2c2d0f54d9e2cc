#include "export_record.h"

#include "disks.h"

#include "export/provenance.h"
#include "vmfs/datastore.h"

namespace dscli {

nlohmann::json provenance_json(ds::Datastore& store, const Options& opt) {
    std::vector<ds::ProvenanceDisk> disks;
    // The starts the disks were read at, also those the search found.
    const ds::LogicalVolume& lvm = store.volume();
    for (int k = 0; k < lvm.loaded_extents && k < ds::kMaxExtents; ++k)
        disks.push_back({lvm.volumes[k].device, lvm.volumes[k].start_sector});
    return ds::provenance_json(store, disks, opt.started, opt.command_line);
}

} // namespace dscli
