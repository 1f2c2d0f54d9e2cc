#pragma once
// The physical drives the platform reports. No output of its own: the window
// and the shell both build on it (their menu texts are in text/drive_text.h).

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

struct DriveInfo {
    int number = 0;              // position in the list, 0-based
    std::string name;            // kernel name, e.g. "sda"
    std::string device;          // device text, e.g. "/dev/sda"
    bool removable = false;
    int64_t total_sectors = 0;   // 512-byte sectors
};

// The whole-disk block devices under sys_block (normally /sys/block), in a
// stable order: by device number (major, then minor), which keeps each kind
// of drive in the order the kernel named it (sdb before sdaa, loop2 before
// loop10); a device without a readable number comes last, by name. Left out: RAM disks (ram*, zram*), which can never hold a
// datastore, and every device whose size is 0 (an unbound loop device, a card
// reader without a card, an empty optical drive). Loop devices that are bound
// to an image are listed, since that is how an image is often attached.
std::vector<DriveInfo> list_drives(const std::string& sys_block = "/sys/block");

} // namespace ds
