#include "disk/sector_reader.h"

namespace ds {


bool read_sectors(DiskReader& disk, const std::string& device, uint16_t count, uint8_t* buffer, int64_t first_sector) {
    if (count == 0) return true;
    if (first_sector < 0 || first_sector > (INT64_MAX / kSectorSize) - count) return false;
    return disk.source().read(device, first_sector * kSectorSize, int64_t{count} * kSectorSize, buffer);
}

} // namespace ds
