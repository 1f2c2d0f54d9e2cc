#include "disk_maps.h"

#include "disks.h"
#include "error_codes.h"
#include "output.h"

namespace dscli {

int use_mapfiles(ds::Datastore& store, const Options& opt) {
    using Result = ds::MapfileCheck::Result;
    for (size_t k = 0; k < opt.mapfiles.size(); ++k) {
        const std::string& path = opt.mapfiles[k];
        DiskSpec disk;
        std::string error;
        if (!parse_disk_spec(opt.disks.at(opt.mapfile_disks[k]), disk, &error)) return usage_error(error);
        const ds::MapfileCheck check = store.use_mapfile(disk.path, path);
        switch (check.result) {
        case Result::ok: break;
        case Result::map_refused: return fail(kCodeMapfile, "mapfile " + shown_path(path) + " refused: " + check.note);
        case Result::image_unopenable: return fail(kCodeMapfile, "cannot open " + shown_path(disk.path) + " to check its mapfile");
        case Result::size_differs:
            return fail(kCodeMapfile, "mapfile " + shown_path(path) + " refused: it describes " + std::to_string(check.map_bytes) +
                        " bytes, but " + shown_path(disk.path) + " holds " + std::to_string(check.image_bytes) +
                        (check.map_bytes > check.image_bytes ? " (its positions run past the image)" : ""));
        }
    }
    return kExitOk;
}

} // namespace dscli
