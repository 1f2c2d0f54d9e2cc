#pragma once
// Ranges of bytes, kept in increasing order: what a read could not give.

#include <cstdint>
#include <vector>

namespace ds {

struct ByteSpan {
    int64_t offset = 0;
    int64_t length = 0;
    int64_t end() const { return offset + length; }
    bool operator==(const ByteSpan&) const = default;
};

// Appends r, merged into the last range when it continues it.
inline void append_range(std::vector<ByteSpan>& ranges, ByteSpan r) {
    if (r.length <= 0) return;
    if (!ranges.empty() && ranges.back().end() == r.offset) {
        ranges.back().length += r.length;
        return;
    }
    ranges.push_back(r);
}

inline int64_t total_length(const std::vector<ByteSpan>& ranges) {
    int64_t n = 0;
    for (const ByteSpan& r : ranges) n += r.length;
    return n;
}

} // namespace ds
