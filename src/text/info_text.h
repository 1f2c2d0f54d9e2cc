#pragma once
// The information pane: the logical volume and the file-system descriptor
// as the browse command shows them.

#include "vmfs/fsinfo.h"
#include "vmfs/volume.h"

#include <string>
#include <vector>

namespace ds {

std::vector<std::string> info_lines(const tvmfslvm& lvm, const tvmfs_fsinfo& fi);

} // namespace ds
