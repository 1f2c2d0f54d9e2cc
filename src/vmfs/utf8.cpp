#include "vmfs/utf8.h"

#include <algorithm>

namespace ds {

size_t utf8_length(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    if (n == 3 && c == 0xE0 && b(i + 1) < 0xA0) return 0;
    if (n == 3 && c == 0xED && b(i + 1) >= 0xA0) return 0;
    if (n == 4 && c == 0xF0 && b(i + 1) < 0x90) return 0;
    if (n == 4 && c == 0xF4 && b(i + 1) >= 0x90) return 0;
    return n;
}

bool is_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_length(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_sanitize(const std::string& s) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return s;
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        if (const size_t n = utf8_length(s, i)) {
            out.append(s, i, n);
            i += n;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

} // namespace ds
