#include "export/input_guard.h"
#include "vmfs/datastore.h"

#include "disk/backing.h"
#include "disk/ewf_source.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace ds {

bool overlaps_input(const Datastore& store, const struct stat& dest, int fd) {
    const std::vector<ByteRange> out = backing_ranges(dest, fd);
    const LogicalVolume& lvm = store.volume();
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k) {
        // An evidence image is named by its first segment; the others are
        // read as well.
        for (const std::string& file : device_files(lvm.volumes[k].device)) {
            struct stat in {};
            if (::stat(file.c_str(), &in) != 0) continue;
            if (in.st_dev == dest.st_dev && in.st_ino == dest.st_ino) return true;
            if (S_ISBLK(in.st_mode) && S_ISBLK(dest.st_mode) && in.st_rdev == dest.st_rdev) return true;
            // A device is asked through the very node it is read from.
            const int dev_fd = S_ISBLK(in.st_mode) ? ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1;
            const bool meets = ranges_overlap(backing_ranges(in, dev_fd), out);
            if (dev_fd >= 0) ::close(dev_fd);
            if (meets) return true;
        }
    }
    return false;
}

} // namespace ds
