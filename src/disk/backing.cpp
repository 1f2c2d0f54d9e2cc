#include "disk/backing.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/loop.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ds {
namespace {

// Stacks of loop devices, partitions and mapped devices are short; a loop
// of them (a damaged sysfs cannot make one, but a bound costs nothing) ends
// at the device reached.
constexpr int kMaxStack = 16;

constexpr unsigned kLoopMajor = 7;

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

// A device number as the loop driver reports it (the kernel's "new" 32-bit
// encoding), as a dev_t of this program.
dev_t decode_dev(uint64_t d) {
    return makedev(static_cast<unsigned>((d & 0xfff00) >> 8), static_cast<unsigned>((d & 0xff) | ((d >> 12) & 0xfff00)));
}

int64_t clamp64(uint64_t v) { return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v); }

enum class Loop { unbound, bound, unknown };

// Asks loop device dev itself what it is attached to. The descriptor fd is
// used when it is that device; otherwise the node sysfs names under /dev is
// opened, and only if it turns out to be dev.
Loop loop_status(dev_t dev, const std::string& dir, int fd, struct loop_info64& info) {
    struct stat st {};
    const bool given = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev;
    int own = -1;
    if (!given) {
        std::vector<std::string> names;
        if (!dir.empty()) {
            std::ifstream in(dir + "/uevent");
            for (std::string line; std::getline(in, line);)
                if (line.rfind("DEVNAME=", 0) == 0) names.push_back("/dev/" + line.substr(8));
        }
        names.push_back("/dev/loop" + std::to_string(minor(dev)));
        for (const std::string& name : names) {
            own = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            if (own < 0) continue;
            if (::fstat(own, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev) break;
            ::close(own);
            own = -1;
        }
        if (own < 0) return Loop::unknown;
        fd = own;
    }
    info = {};
    const int rc = ::ioctl(fd, LOOP_GET_STATUS64, &info);
    const int err = errno;
    if (own >= 0) ::close(own);
    if (rc == 0) return Loop::bound;
    return err == ENXIO ? Loop::unbound : Loop::unknown;
}

// Whether dev is a block device whose backing can be looked into (a file
// system on no device, tmpfs say, has a number of its own and nothing more).
bool is_block_dev(dev_t dev) { return major(dev) == kLoopMajor || !sysfs_dir(dev).empty(); }

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

std::vector<ByteRange> block_ranges(dev_t dev, int depth, int fd = -1) {
    const ByteRange whole{ByteRange::Base::disk, static_cast<uint64_t>(dev), 0, 0, INT64_MAX, false};
    const ByteRange unknown{ByteRange::Base::unknown, static_cast<uint64_t>(dev), 0, 0, INT64_MAX, false};
    if (depth >= kMaxStack) return {unknown};
    const std::string dir = sysfs_dir(dev);

    int64_t start = 0, sectors = 0;
    if (!dir.empty() && read_number(dir + "/partition", start) && read_number(dir + "/start", start) &&
        read_number(dir + "/size", sectors)) {
        // A partition: its directory sits in its whole disk's.
        dev_t parent = 0;
        const std::string up = dir.substr(0, dir.rfind('/'));
        if (!read_dev(up + "/dev", parent) || parent == dev) return {whole};
        return cut(block_ranges(parent, depth + 1), start * 512, sectors * 512);
    }

    // A loop device is asked what backs it: the device and inode of its
    // backing file, which no rename, removal of a name or odd character in
    // one changes. When it cannot be asked, nothing is assumed.
    struct stat loop_dir {};
    if (major(dev) == kLoopMajor || (!dir.empty() && ::stat((dir + "/loop").c_str(), &loop_dir) == 0)) {
        struct loop_info64 info {};
        switch (loop_status(dev, dir, fd, info)) {
        case Loop::unbound: return {whole};
        case Loop::unknown: return {unknown};
        case Loop::bound: break;
        }
        const int64_t offset = clamp64(info.lo_offset);
        const int64_t limit = info.lo_sizelimit > 0 ? clamp64(info.lo_sizelimit) : -1;
        // Only a device node has a device number of its own to stand for.
        if (info.lo_rdevice != 0) return cut(block_ranges(decode_dev(info.lo_rdevice), depth + 1), offset, limit);
        struct stat file {};
        file.st_mode = S_IFREG;
        file.st_dev = decode_dev(info.lo_device);
        file.st_ino = static_cast<ino_t>(info.lo_inode);
        return cut(file_ranges(file, depth + 1), offset, limit);
    }
    if (dir.empty()) return {whole};

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
    if (is_block_dev(st.st_dev))
        for (ByteRange r : block_ranges(st.st_dev, depth + 1)) {
            r.container = true;
            out.push_back(r);
        }
    return out;
}

} // namespace

std::vector<ByteRange> backing_ranges(const struct stat& st, int fd) {
    if (S_ISREG(st.st_mode)) return file_ranges(st, 0);
    if (S_ISBLK(st.st_mode)) {
        // The whole disk's range of a partition, and the partition's own
        // number too when nothing else is known.
        return block_ranges(st.st_rdev, 0, fd);
    }
    if (S_ISDIR(st.st_mode)) {
        std::vector<ByteRange> out;
        if (is_block_dev(st.st_dev))
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
            if (x.base == ByteRange::Base::unknown || y.base == ByteRange::Base::unknown) return true;
            if (x.base != y.base || x.dev != y.dev) continue;
            if (x.base == ByteRange::Base::file && x.ino != y.ino) continue;
            if (x.begin < y.end && y.begin < x.end) return true;
        }
    return false;
}

} // namespace ds
