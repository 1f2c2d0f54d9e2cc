#include "export/rescue_map.h"

#include "export/provenance.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace ds {
namespace {

// Lines are handed to the host in pieces of about this size.
constexpr size_t kFlushAt = 64 * 1024;

} // namespace

std::string mapfile_line(int64_t pos, int64_t size, char status) {
    char line[64];
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", static_cast<uint64_t>(pos),
                  static_cast<uint64_t>(size), status);
    return line;
}

bool RescueMap::put(const std::string& text) {
    pending_ += text;
    return pending_.size() < kFlushAt || flush();
}

bool RescueMap::flush() {
    if (pending_.empty()) return true;
    errno = 0;
    if (!file_.write(reinterpret_cast<const uint8_t*>(pending_.data()), static_cast<int64_t>(pending_.size()))) {
        errno_ = errno != 0 ? errno : EIO;
        return false;
    }
    pending_.clear();
    return true;
}

bool RescueMap::add(ByteSpan bad) {
    if (finished_ || bad.length <= 0 || bad.offset < covered_) return false;
    if (!file_.ok()) {
        std::string dir, name;
        split_host_path(path_, dir, name);
        errno = 0;
        HostDir host_dir = HostDir::open(dir);
        if (host_dir.ok()) file_ = HostFile::create(host_dir, name);
        if (!file_.ok()) {
            errno_ = errno != 0 ? errno : EIO;
            return false;
        }
        // The status line says the map is complete: nothing is left to try.
        put(std::string("# Mapfile written by datumsift ") + program_version() +
            "\n# current_pos  current_status  current_pass\n0x00000000     +               1\n"
            "#      pos        size  status\n");
    }
    if (bad.offset > covered_ && !put(mapfile_line(covered_, bad.offset - covered_, '+'))) return false;
    covered_ = bad.end();
    return put(mapfile_line(bad.offset, bad.length, '-'));
}

bool RescueMap::finish(int64_t size) {
    if (!file_.ok()) return !finished_ || errno_ == 0;
    if (size > covered_ && !put(mapfile_line(covered_, size - covered_, '+'))) return false;
    covered_ = std::max(covered_, size);
    if (!flush()) return false;
    errno = 0;
    finished_ = true;
    if (!file_.close()) {
        errno_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

} // namespace ds
