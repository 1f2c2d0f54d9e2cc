#include "disk/sector_reader.h"

#include "disk/sector_source.h"

namespace ds {

bool read_sectors(const std::string& device, uint16_t count, uint8_t* buffer, int64_t first_sector) {
    if (count == 0) return true;
    if (first_sector < 0 || first_sector > (INT64_MAX / kSectorSize) - count) return false;
    return sector_source().read(device, first_sector * kSectorSize, int64_t{count} * kSectorSize, buffer);
}

int64_t device_size(const std::string& device) { return sector_source().size(device); }

} // namespace ds
