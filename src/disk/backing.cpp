#include "disk/backing.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/sysmacros.h>

namespace ds {
namespace {

// Stacks of loop devices, partitions and mapped devices are short; a loop
// of them (a damaged sysfs cannot make one, but a bound costs nothing) ends
// at the device reached.
constexpr int kMaxStack = 16;

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool read_number(const std::string& path, int64_t& value) {
    const std::string text = read_line(path);
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || v > static_cast<unsigned long long>(INT64_MAX)) return false;
    value = static_cast<int64_t>(v);
    return true;
}

// "MAJ:MIN" as sysfs writes a device number.
bool read_dev(const std::string& path, dev_t& dev) {
    unsigned maj = 0, min = 0;
    if (std::sscanf(read_line(path).c_str(), "%u:%u", &maj, &min) != 2) return false;
    dev = makedev(maj, min);
    return true;
}

std::string sysfs_dir(dev_t dev) {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    char* real = ::realpath(link.c_str(), nullptr);
    if (!real) return "";
    std::string dir = real;
    ::free(real);
    return dir;
}

int64_t add_sat(int64_t a, int64_t b) { return a > INT64_MAX - b ? INT64_MAX : a + b; }

// The part [off, off + len) of what ranges hold; len -1 for "to the end".
// Only a single exact range can be cut: a device spread over several (a
// mapped device over its slaves) keeps all of them. The devices that merely
// contain the bytes (a backing file's file system) stay as they are.
std::vector<ByteRange> cut(std::vector<ByteRange> ranges, int64_t off, int64_t len) {
    ByteRange* exact = nullptr;
    for (ByteRange& r : ranges) {
        if (r.container) continue;
        if (exact) return ranges;
        exact = &r;
    }
    if (!exact) return ranges;
    ByteRange& r = *exact;
    r.begin = add_sat(r.begin, off);
    if (len >= 0) r.end = std::min(r.end, add_sat(r.begin, len));
    if (r.begin > r.end) r.begin = r.end;
    return ranges;
}

std::vector<ByteRange> file_ranges(const struct stat& st, int depth);

std::vector<ByteRange> block_ranges(dev_t dev, int depth) {
    const ByteRange whole{ByteRange::Base::disk, static_cast<uint64_t>(dev), 0, 0, INT64_MAX, false};
    const std::string dir = sysfs_dir(dev);
    if (dir.empty() || depth >= kMaxStack) return {whole};

    int64_t start = 0, sectors = 0;
    if (read_number(dir + "/partition", start) && read_number(dir + "/start", start) &&
        read_number(dir + "/size", sectors)) {
        // A partition: its directory sits in its whole disk's.
        dev_t parent = 0;
        const std::string up = dir.substr(0, dir.rfind('/'));
        if (!read_dev(up + "/dev", parent) || parent == dev) return {whole};
        return cut(block_ranges(parent, depth + 1), start * 512, sectors * 512);
    }

    const std::string backing = read_line(dir + "/loop/backing_file");
    if (!backing.empty()) {
        int64_t offset = 0, limit = 0;
        read_number(dir + "/loop/offset", offset);
        read_number(dir + "/loop/sizelimit", limit);
        struct stat st {};
        if (::stat(backing.c_str(), &st) == 0) {
            if (S_ISREG(st.st_mode)) return cut(file_ranges(st, depth + 1), offset, limit > 0 ? limit : -1);
            if (S_ISBLK(st.st_mode)) return cut(block_ranges(st.st_rdev, depth + 1), offset, limit > 0 ? limit : -1);
        }
        return {whole};   // a backing file no longer reachable by its name
    }

    // A mapped device (or any stack of devices) lies on its slaves; which
    // parts of them it uses is not known here, so all of each counts.
    std::vector<ByteRange> out;
    if (DIR* d = ::opendir((dir + "/slaves").c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            dev_t slave = 0;
            if (!read_dev(dir + "/slaves/" + e->d_name + "/dev", slave) || slave == dev) continue;
            for (ByteRange r : block_ranges(slave, depth + 1)) out.push_back(r);
        }
        ::closedir(d);
    }
    if (out.empty()) return {whole};
    // The device itself too: another path to it must meet it as well.
    out.push_back(whole);
    return out;
}

// A regular file: its own bytes, and somewhere inside its file system's
// device.
std::vector<ByteRange> file_ranges(const struct stat& st, int depth) {
    std::vector<ByteRange> out{{ByteRange::Base::file, static_cast<uint64_t>(st.st_dev),
                                static_cast<uint64_t>(st.st_ino), 0, INT64_MAX, false}};
    if (!sysfs_dir(st.st_dev).empty())
        for (ByteRange r : block_ranges(st.st_dev, depth + 1)) {
            r.container = true;
            out.push_back(r);
        }
    return out;
}

} // namespace

std::vector<ByteRange> backing_ranges(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return file_ranges(st, 0);
    if (S_ISBLK(st.st_mode)) {
        // The whole disk's range of a partition, and the partition's own
        // number too when nothing else is known.
        return block_ranges(st.st_rdev, 0);
    }
    if (S_ISDIR(st.st_mode)) {
        std::vector<ByteRange> out;
        if (!sysfs_dir(st.st_dev).empty())
            for (ByteRange r : block_ranges(st.st_dev, 0)) {
                r.container = true;
                out.push_back(r);
            }
        return out;
    }
    return {};
}

bool ranges_overlap(const std::vector<ByteRange>& a, const std::vector<ByteRange>& b) {
    for (const ByteRange& x : a)
        for (const ByteRange& y : b) {
            if (x.container && y.container) continue;
            if (x.base != y.base || x.dev != y.dev) continue;
            if (x.base == ByteRange::Base::file && x.ino != y.ino) continue;
            if (x.begin < y.end && y.begin < x.end) return true;
        }
    return false;
}

} // namespace ds
