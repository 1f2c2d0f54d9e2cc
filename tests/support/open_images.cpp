#include "support/open_images.h"

#include "vmfs/volume.h"

namespace dstest {

ds::OpenOutcome open_images(const dsb::ImageSummary& summary) {
    for (const std::string& image : summary.images) {
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        if (ds::AddDisk(image, summary.start_sector, &why) != 0) {
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
