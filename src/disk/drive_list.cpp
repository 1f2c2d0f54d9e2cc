#include "disk/drive_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace ds {
namespace {

// Splits a name into runs of digits and runs of other characters.
std::vector<std::string> name_runs(const std::string& s) {
    std::vector<std::string> runs;
    for (char c : s) {
        bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (runs.empty() || (std::isdigit(static_cast<unsigned char>(runs.back()[0])) != 0) != digit)
            runs.emplace_back();
        runs.back() += c;
    }
    return runs;
}

// Digit runs compare as numbers, other runs shortest first and then by bytes:
// the order the kernel hands out names in (sdz, sdaa; loop9, loop10).
bool drive_name_less(const std::string& a, const std::string& b) {
    std::vector<std::string> ra = name_runs(a), rb = name_runs(b);
    for (size_t i = 0; i < ra.size() && i < rb.size(); ++i) {
        const std::string& x = ra[i];
        const std::string& y = rb[i];
        bool xd = std::isdigit(static_cast<unsigned char>(x[0])) != 0;
        bool yd = std::isdigit(static_cast<unsigned char>(y[0])) != 0;
        if (xd != yd) return xd;
        if (xd) {
            std::string xs = x.substr(std::min(x.find_first_not_of('0'), x.size() - 1));
            std::string ys = y.substr(std::min(y.find_first_not_of('0'), y.size() - 1));
            if (xs.size() != ys.size()) return xs.size() < ys.size();
            if (xs != ys) return xs < ys;
        } else {
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
        }
    }
    if (ra.size() != rb.size()) return ra.size() < rb.size();
    return a < b;
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
        // Names of devices in a subdirectory of /dev carry "!" for "/".
        std::string dev = name;
        std::replace(dev.begin(), dev.end(), '!', '/');
        d.device = "/dev/" + dev;
        d.removable = removable != 0;
        d.total_sectors = sectors;
        drives.push_back(std::move(d));
    }
    std::sort(drives.begin(), drives.end(),
              [](const DriveInfo& a, const DriveInfo& b) { return drive_name_less(a.name, b.name); });
    for (size_t i = 0; i < drives.size(); ++i) drives[i].number = static_cast<int>(i);
    return drives;
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
