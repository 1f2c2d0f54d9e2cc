#include "text/info_text.h"

namespace ds {

std::vector<std::string> info_lines(const LogicalVolume& lvm, const FsParams& fi) {
    std::vector<std::string> lines;
    lines.push_back("lvm numofextents:" + std::to_string(lvm.numofextents));
    lines.push_back("lvm size:" + std::to_string(lvm.size));
    lines.push_back("lvm loaded_extents:" + std::to_string(lvm.loaded_extents));
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k) {
        const VolumeMember& m = lvm.volumes[k];
        // The seven-byte size times 256 may exceed 63 bits on a damaged header;
        // it wraps as the 64-bit product does.
        auto shown = static_cast<int64_t>(m.size * 256u);
        lines.push_back("1>" + m.device + "|size:" + std::to_string(shown));
    }
    lines.push_back("-------------------------------");
    lines.push_back("FSINFO:");
    lines.push_back("blocksize:" + std::to_string(fi.blocksize));
    lines.push_back("subblocksize:" + std::to_string(fi.subblocksize));
    lines.push_back("fdcheader_size:" + std::to_string(fi.fdcheader_size));
    lines.push_back("fdcbitmap_count:" + std::to_string(fi.fdcbitmap_count));
    return lines;
}

} // namespace ds
