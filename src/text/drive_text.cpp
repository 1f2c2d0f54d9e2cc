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

bool is_fixed_drive_text(const std::string& item_text) {
    return item_text.find("本地磁盘") != std::string::npos;
}

std::string split_field(const std::string& text, int n) {
    if (n < 1) return "";
    // prev and cur are separator positions; -1 stands before the text.
    long prev = -1, cur = -1;
    for (int k = 1; k <= n; ++k) {
        prev = cur;
        size_t at = text.find('|', static_cast<size_t>(cur + 1));
        if (at != std::string::npos) cur = static_cast<long>(at);
    }
    if (cur <= prev) return "";
    return text.substr(static_cast<size_t>(prev + 1), static_cast<size_t>(cur - prev - 1));
}

} // namespace ds
