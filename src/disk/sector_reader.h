#pragma once
// The sector of every disk and image, 512 bytes, and the size of a device as
// the disk settings ask for it before a disk joins the volume.

#include "disk/disk_read.h"

#include <cstdint>
#include <string>

namespace ds {

inline constexpr int64_t kSectorSize = 512;

// Size of an image file or block device in bytes; -1 when it cannot be opened.
inline int64_t device_size(DiskReader& disk, const std::string& device) { return disk.device_size(device); }

} // namespace ds
