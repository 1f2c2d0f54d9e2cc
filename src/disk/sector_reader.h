#pragma once
// Sector reads of disks and image files, 512 bytes per sector.

#include "disk/disk_read.h"

#include <cstdint>
#include <string>

namespace ds {

inline constexpr int64_t kSectorSize = 512;

// Reads count sectors from first_sector on into buffer (count * 512 bytes).
// True when every byte was read; a count of 0 reads nothing and succeeds.
bool read_sectors(DiskReader& disk, const std::string& device, uint16_t count, uint8_t* buffer, int64_t first_sector);

// Size of an image file or block device in bytes; -1 when it cannot be opened.
inline int64_t device_size(DiskReader& disk, const std::string& device) { return disk.device_size(device); }

} // namespace ds
