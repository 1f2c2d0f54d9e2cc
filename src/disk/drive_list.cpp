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

} // namespace ds
