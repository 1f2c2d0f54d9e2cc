#pragma once
// The source the datastore's disks are read through: image files and
// devices, with the bytes that a --mapfile does not mark finished counted
// as unreadable.

#include "disk/sector_source.h"
#include "options.h"

#include <memory>

namespace dscli {

// Reads and checks every --mapfile against its image before anything of the
// datastore is read. An exit status: a mapfile that cannot be read, is
// malformed or describes another size than its image ends the run (1).
int make_disk_source(const Options& opt, std::unique_ptr<ds::SectorSource>& out);

} // namespace dscli
