#include "disk_maps.h"

#include "disks.h"
#include "output.h"

#include "disk/ddrescue_map.h"

namespace dscli {

int make_disk_source(const Options& opt, std::unique_ptr<ds::SectorSource>& out) {
    out = ds::make_posix_source();
    if (opt.mapfiles.empty()) return kExitOk;
    auto masked = std::make_unique<ds::MaskedSource>(std::move(out));
    for (size_t k = 0; k < opt.mapfiles.size(); ++k) {
        const std::string& path = opt.mapfiles[k];
        DiskSpec disk;
        std::string error;
        if (!parse_disk_spec(opt.disks.at(opt.mapfile_disks[k]), disk, &error)) return usage_error(error);
        ds::Mapfile map;
        if (!ds::read_mapfile(path, map, error))
            return fail("mapfile " + shown_path(path) + " refused: " + error);
        const int64_t image_bytes = masked->size(disk.path);
        if (image_bytes < 0) return fail("cannot open " + shown_path(disk.path) + " to check its mapfile");
        if (map.covered != image_bytes)
            return fail("mapfile " + shown_path(path) + " refused: it describes " + std::to_string(map.covered) +
                        " bytes, but " + shown_path(disk.path) + " holds " + std::to_string(image_bytes) +
                        (map.covered > image_bytes ? " (its positions run past the image)" : ""));
        masked->mask(disk.path, std::move(map.not_finished));
    }
    out = std::move(masked);
    return kExitOk;
}

} // namespace dscli
