#include "disk/sector_reader.h"

#include "disk/sector_source.h"

namespace ds {

int64_t device_size(const std::string& device) { return sector_source().size(device); }

} // namespace ds
