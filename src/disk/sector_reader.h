#pragma once
// Sector reads of disks and image files, 512 bytes per sector.

#include <cstdint>
#include <string>

namespace ds {

inline constexpr int64_t kSectorSize = 512;

// Size of an image file or block device in bytes; -1 when it cannot be opened.
int64_t device_size(const std::string& device);

} // namespace ds
