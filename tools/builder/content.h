// File contents as generators, so files of many GiB can be written (and
// checked) piece by piece without holding them in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace dsb {

// Fills `out` with the file's bytes starting at `offset`.
using ContentFn = std::function<void(std::uint64_t offset, std::span<std::uint8_t> out)>;

ContentFn bytes_content(std::vector<std::uint8_t> bytes);
ContentFn text_content(std::string_view text);
ContentFn zero_content();
// Deterministic pseudo-random bytes; a different seed gives different bytes.
ContentFn pattern_content(std::uint64_t seed);
// `base` everywhere, with `patches` laid over it at their offsets.
ContentFn overlay_content(ContentFn base, std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> patches);

std::vector<std::uint8_t> materialize(const ContentFn& content, std::uint64_t offset, std::uint64_t length);

} // namespace dsb
