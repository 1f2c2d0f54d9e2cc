#include "disk/memory_source.h"

#include <algorithm>
#include <cerrno>

namespace ds {

bool MemorySource::read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) {
    ++reads;
    auto it = disks.find(device);
    if (it == disks.end() || off < 0 || len < 0) return false;
    const auto& bytes = it->second;
    if (off > static_cast<int64_t>(bytes.size()) || len > static_cast<int64_t>(bytes.size()) - off) return false;
    if (fail_from >= 0 && off < fail_to && off + len > fail_from) {
        if (fail_errno != 0) errno = fail_errno;
        return false;
    }
    for (const ByteSpan& r : bad)
        if (off < r.end() && off + len > r.offset) {
            errno = fail_errno != 0 ? fail_errno : EIO;
            return false;
        }
    std::copy_n(bytes.begin() + off, len, buf);
    bytes_read += len;
    return true;
}

int64_t MemorySource::size(const std::string& device) {
    auto it = disks.find(device);
    return it == disks.end() ? -1 : static_cast<int64_t>(it->second.size());
}

} // namespace ds
