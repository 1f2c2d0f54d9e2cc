#include "disk/drive_list.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace ds {
namespace {

// "major:minor" of /sys/block/X/dev; false when absent or malformed.
bool read_dev_number(const std::filesystem::path& file, long& major, long& minor) {
    std::ifstream in(file);
    char colon = 0;
    return static_cast<bool>(in >> major >> colon >> minor) && colon == ':';
}

bool read_number(const std::filesystem::path& file, int64_t& value) {
    std::ifstream in(file);
    long long v = 0;
    if (!(in >> v)) return false;
    value = v;
    return true;
}

bool is_ram_disk(const std::string& name) {
    return name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0;
}

} // namespace

std::vector<DriveInfo> list_drives(const std::string& sys_block) {
    std::vector<DriveInfo> drives;
    std::vector<std::pair<long, long>> order;   // device number of drives[i]
    std::error_code ec;
    std::filesystem::directory_iterator it(sys_block, ec), end;
    if (ec) return drives;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || is_ram_disk(name)) continue;
        int64_t sectors = 0;
        if (!read_number(it->path() / "size", sectors) || sectors <= 0) continue;
        int64_t removable = 0;
        read_number(it->path() / "removable", removable);
        DriveInfo d;
        d.name = name;
        long major = -1, minor = -1;
        if (!read_dev_number(it->path() / "dev", major, minor)) major = minor = LONG_MAX;
        order.emplace_back(major, minor);
        // Names of devices in a subdirectory of /dev carry "!" for "/".
        std::string dev = name;
        std::replace(dev.begin(), dev.end(), '!', '/');
        d.device = "/dev/" + dev;
        d.removable = removable != 0;
        d.total_sectors = sectors;
        drives.push_back(std::move(d));
    }
    std::vector<size_t> idx(drives.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
    std::sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
        return std::tie(order[a], drives[a].name) < std::tie(order[b], drives[b].name);
    });
    std::vector<DriveInfo> sorted;
    for (size_t i : idx) {
        sorted.push_back(std::move(drives[i]));
        sorted.back().number = static_cast<int>(sorted.size() - 1);
    }
    return sorted;
}

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
