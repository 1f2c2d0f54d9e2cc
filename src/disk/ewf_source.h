#pragma once
// Expert Witness (E01) evidence images, read through libewf. An image may be
// split into segment files (.E01, .E02, ...); naming the first one opens the
// whole set. Nothing is ever written to the image.

#include "disk/sector_source.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

// Whether the open file fd is a regular file that begins with an Expert
// Witness signature (EWF-E01 or EWF2-Ex01). What the file is called plays no
// part.
bool is_ewf_file(int fd);

// The host files a device text stands for: the segment files of an evidence
// image, or the device itself. An export must not replace any of them.
std::vector<std::string> device_files(const std::string& device);

// The libewf backend: one open handle per device text, the media it holds
// addressed as one disk.
SectorSource& ewf_sector_source();

} // namespace ds
