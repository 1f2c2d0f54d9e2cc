#pragma once
// The information pane: the logical volume and the file-system descriptor
// as the browse command shows them.

#include "vmfs/datastore.h"

#include <string>
#include <vector>

namespace ds {

std::vector<std::string> info_lines(const LogicalVolume& lvm, const FsParams& fi);

} // namespace ds
