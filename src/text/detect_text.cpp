#include "text/detect_text.h"

namespace ds {

std::string candidate_line(const Detection& d, int k) {
    return d.candidates.at(static_cast<size_t>(k)).device + "|" + std::to_string(k) + "|";
}

std::vector<std::string> disk_table_lines(const LogicalVolume& lvm) {
    std::vector<std::string> lines;
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k)
        lines.push_back(lvm.volumes[k].device + "|" + std::to_string(lvm.volumes[k].start_sector) + "|");
    return lines;
}

} // namespace ds
