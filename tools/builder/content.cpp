#include "content.h"

#include <algorithm>
#include <memory>

namespace dsb {

ContentFn bytes_content(std::vector<std::uint8_t> bytes) {
    auto data = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    return [data](std::uint64_t offset, std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        if (offset >= data->size()) return;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), data->size() - offset));
        std::copy_n(data->begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
    };
}

ContentFn text_content(std::string_view text) {
    return bytes_content(std::vector<std::uint8_t>(text.begin(), text.end()));
}

ContentFn zero_content() {
    return [](std::uint64_t, std::span<std::uint8_t> out) { std::fill(out.begin(), out.end(), std::uint8_t{0}); };
}

namespace {
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
} // namespace

ContentFn pattern_content(std::uint64_t seed) {
    return [seed](std::uint64_t offset, std::span<std::uint8_t> out) {
        std::size_t i = 0;
        while (i < out.size()) {
            std::uint64_t pos = offset + i;
            std::uint64_t v = mix(seed * 0x100000001B3ull ^ (pos >> 3));
            for (unsigned k = static_cast<unsigned>(pos & 7); k < 8 && i < out.size(); ++k, ++i)
                out[i] = static_cast<std::uint8_t>(v >> (8 * k));
        }
    };
}

ContentFn overlay_content(ContentFn base, std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> patches) {
    auto shared = std::make_shared<const decltype(patches)>(std::move(patches));
    return [base = std::move(base), shared](std::uint64_t offset, std::span<std::uint8_t> out) {
        base(offset, out);
        std::uint64_t end = offset + out.size();
        for (const auto& [at, bytes] : *shared) {
            std::uint64_t lo = std::max(at, offset);
            std::uint64_t hi = std::min<std::uint64_t>(at + bytes.size(), end);
            for (std::uint64_t p = lo; p < hi; ++p) out[p - offset] = bytes[p - at];
        }
    };
}

std::vector<std::uint8_t> materialize(const ContentFn& content, std::uint64_t offset, std::uint64_t length) {
    std::vector<std::uint8_t> out(length);
    content(offset, out);
    return out;
}

} // namespace dsb
