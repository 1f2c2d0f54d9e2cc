// Bounds-checked little-endian stores and loads on byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>

namespace dsb {

namespace detail {
inline void check_range(std::size_t have, std::size_t off, std::size_t len) {
    if (off > have || len > have - off) throw std::out_of_range("dsb: byte range outside buffer");
}
} // namespace detail

template <typename T>
void put_le(std::span<std::uint8_t> buf, std::size_t off, T value, std::size_t width = sizeof(T)) {
    detail::check_range(buf.size(), off, width);
    auto v = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < width; ++i) buf[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <typename T>
T get_le(std::span<const std::uint8_t> buf, std::size_t off, std::size_t width = sizeof(T)) {
    detail::check_range(buf.size(), off, width);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{buf[off + i]} << (8 * i);
    return static_cast<T>(v);
}

inline void put_bytes(std::span<std::uint8_t> buf, std::size_t off, std::span<const std::uint8_t> src) {
    detail::check_range(buf.size(), off, src.size());
    for (std::size_t i = 0; i < src.size(); ++i) buf[off + i] = src[i];
}

inline void put_text(std::span<std::uint8_t> buf, std::size_t off, std::string_view text, std::size_t field) {
    if (text.size() > field) throw std::length_error("dsb: text longer than its field");
    detail::check_range(buf.size(), off, field);
    for (std::size_t i = 0; i < text.size(); ++i) buf[off + i] = static_cast<std::uint8_t>(text[i]);
}

} // namespace dsb
