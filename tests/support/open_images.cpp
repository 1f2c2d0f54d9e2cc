#include "vmfs/store.h"
#include "support/open_images.h"

#include "vmfs/volume.h"
#include "text/info_text.h"
#include "text/messages.h"

namespace dstest {

Opened open_images(ds::Datastore& store, const dsb::ImageSummary& summary) {
    Opened out;
    for (size_t k = 0; k < summary.images.size(); ++k) {
        const int64_t sector = k < summary.start_sectors.size() ? summary.start_sectors[k] : summary.start_sector;
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        if (ds::add_disk(store, summary.images[k], sector, &why) != 0) {
            out.message = ds::add_disk_message(why);
            return out;
        }
    }
    const ds::OpenOutcome o = ds::fs_open(store);
    out.message = ds::open_message(o.failure);
    out.pane_filled = o.pane_filled;
    out.tree_rebuilt = o.tree_rebuilt;
    out.completed = o.completed;
    if (o.pane_filled) out.info_lines = ds::info_lines(store.volume(), store.fs_params());
    return out;
}

std::vector<uint8_t> expected_bytes(const dsb::ObjectExpect& object) {
    return dsb::materialize(object.content, 0, object.size);
}

} // namespace dstest
