#pragma once
// The lines under which the disk settings and the shell show what the
// automatic detection found and the disk table it assembled.

#include "vmfs/datastore.h"

#include <string>
#include <vector>

namespace ds {

// The line of the "VM found" list for candidate k: "device|k|".
std::string candidate_line(const Detection& d, int k);

// The disk table as the disk settings list it: "device|start_sector|".
std::vector<std::string> disk_table_lines(const LogicalVolume& lvm);

} // namespace ds
