#include "support/open_images.h"

#include "vmfs/volume.h"
#include "text/messages.h"

namespace dstest {

ds::OpenOutcome open_images(const dsb::ImageSummary& summary) {
    for (size_t k = 0; k < summary.images.size(); ++k) {
        const int64_t sector = k < summary.start_sectors.size() ? summary.start_sectors[k] : summary.start_sector;
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        if (ds::AddDisk(summary.images[k], sector, &why) != 0) {
            ds::OpenOutcome failed;
            failed.message = ds::add_disk_message(why);
            return failed;
        }
    }
    return ds::fs_open();
}

std::vector<uint8_t> expected_bytes(const dsb::ObjectExpect& object) {
    return dsb::materialize(object.content, 0, object.size);
}

} // namespace dstest
