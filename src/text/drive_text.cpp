#include "text/drive_text.h"

#include <cstdio>

namespace ds {

std::string drive_size_text(int64_t total_sectors) {
    double mb = static_cast<double>(total_sectors) / 2048.0;
    char buf[64];
    if (mb < 1000.0)
        std::snprintf(buf, sizeof buf, "%.2f MB)", mb);
    else
        std::snprintf(buf, sizeof buf, "%.2f GB)", mb / 1024.0);
    return buf;
}

std::string drive_item_text(const DriveInfo& drive) {
    std::string kind = drive.removable ? "可移动存储 " : "本地磁盘 ";
    return kind + std::to_string(drive.number) + " (" + drive_size_text(drive.total_sectors) + " ";
}

const char* drive_kind_code(const DriveInfo& drive) { return drive.removable ? "removable_storage" : "local_disk"; }

bool is_fixed_drive_text(const std::string& item_text) {
    return item_text.find("本地磁盘") != std::string::npos;
}

} // namespace ds
