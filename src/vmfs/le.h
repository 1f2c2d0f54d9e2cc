#pragma once
// Little-endian loads from on-disk buffers. Offsets are checked against the
// span: a field that does not lie wholly inside the buffer reads as zero.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

namespace ds {

template <typename T>
T load_le(std::span<const uint8_t> buf, size_t off) {
    static_assert(std::is_integral_v<T>);
    if (off > buf.size() || buf.size() - off < sizeof(T)) return T{0};
    std::make_unsigned_t<T> v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, buf.data() + off, sizeof(T));
    } else {
        for (size_t i = 0; i < sizeof(T); ++i)
            v |= static_cast<std::make_unsigned_t<T>>(buf[off + i]) << (8 * i);
    }
    return static_cast<T>(v);
}

template <size_t N>
void load_bytes(std::span<const uint8_t> buf, size_t off, uint8_t (&out)[N]) {
    std::memset(out, 0, N);
    if (off <= buf.size()) std::memcpy(out, buf.data() + off, std::min(N, buf.size() - off));
}

inline void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace ds
