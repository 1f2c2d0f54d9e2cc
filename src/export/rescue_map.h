#pragma once
// The map of a copy that met unreadable bytes, in the mapfile layout of GNU
// ddrescue, so that the field's tools read it: '+' for bytes that were read,
// '-' for bytes that could not be and are zeros in the copy, in the copy's
// own offsets.

#include "disk/byte_ranges.h"
#include "export/host_write.h"

#include <cstdint>
#include <string>

namespace ds {

// One mapfile line: position, size and status, in hex as ddrescue writes them.
std::string mapfile_line(int64_t pos, int64_t size, char status);

class RescueMap {
public:
    // Nothing is created until the first unreadable range: a copy that read
    // every byte leaves no map.
    explicit RescueMap(std::string path) : path_(std::move(path)) {}

    // The next unreadable range, after the ones before it. The map is
    // created at the first one, exclusively: anything already at its path,
    // a link included, makes it fail (errno() says why).
    bool add(ByteSpan bad);
    // Marks the rest up to size as read and puts the map on the host's
    // disk; nothing to do when no range was added.
    bool finish(int64_t size);

    bool created() const { return file_.ok() || finished_; }
    const std::string& path() const { return path_; }
    int error() const { return errno_; }

private:
    bool put(const std::string& text);
    bool flush();

    std::string path_;
    HostFile file_;
    std::string pending_;
    int64_t covered_ = 0;   // bytes of the copy the lines written so far describe
    bool finished_ = false;
    int errno_ = 0;
};

} // namespace ds
