#include "text/name_text.h"

#include <cstring>

namespace ds {
namespace {

const char kHex[] = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

uint32_t code_point(const std::string& s, size_t i, size_t n) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (n == 1) return b(0);
    uint32_t cp = b(0) & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (b(k) & 0x3F);
    return cp;
}

// The embeddings, overrides and isolates that reorder what follows them: a
// name holding one could display as another name.
bool is_direction_control(unsigned c) { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }

bool is_terminal_control(unsigned c, size_t n) {
    return n == 0 || c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || is_direction_control(c);
}

bool printed_must(unsigned c, size_t n) { return is_terminal_control(c, n) || c == '\\' || c == '/'; }

bool path_must(unsigned c, size_t n) { return c != '/' && printed_must(c, n); }

} // namespace

std::string escape_name(const std::string& raw, const char* mark, bool (*must)(unsigned c, size_t n)) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        const size_t n = utf8_length(raw, i);
        const unsigned c = n == 0 ? static_cast<unsigned char>(raw[i]) : code_point(raw, i, n);
        if (!must(c, n)) {
            out.append(raw, i, n);
            i += n;
            continue;
        }
        for (size_t k = 0; k < (n == 0 ? 1 : n); ++k, ++i) {
            const auto byte = static_cast<unsigned char>(raw[i]);
            out += mark;
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

bool unescape_name(const std::string& text, const char* mark, std::string& raw) {
    raw.clear();
    const size_t m = std::strlen(mark);
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, m, mark) != 0) {
            raw += text[i++];
            continue;
        }
        if (i + m + 2 > text.size()) return false;
        int hi = hex_value(text[i + m]), lo = hex_value(text[i + m + 1]);
        if (hi < 0 || lo < 0) return false;
        raw += static_cast<char>(hi * 16 + lo);
        i += m + 2;
    }
    return true;
}

// An empty name (one that was all blanks and controls) would print as
// nothing, leaving its path looking like its directory's; it prints as "".
// A name that is those two quotes has them escaped, so each form is one name.
const char kEmptyName[] = "\"\"";

namespace {

// Whether escape_name with printed_must would give raw back unchanged: only
// printable ASCII but the backslash and the slash. Nearly every name is so,
// and a walk prints a million of them.
bool printed_as_is(const std::string& raw) {
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '\\' || c == '/') return false;
    }
    return true;
}

} // namespace

std::string printable_name(const std::string& raw) {
    if (raw.empty()) return kEmptyName;
    if (raw == kEmptyName) return "\\x22\\x22";
    if (printed_as_is(raw)) return raw;
    return escape_name(raw, "\\x", printed_must);
}

bool printable_name_decode(const std::string& printed, std::string& raw) {
    if (printed == kEmptyName) {
        raw.clear();
        return true;
    }
    return unescape_name(printed, "\\x", raw);
}

std::string printable_path(const std::string& raw) { return escape_name(raw, "\\x", path_must); }

bool has_terminal_controls(const std::string& raw) {
    for (size_t i = 0; i < raw.size();) {
        const size_t n = utf8_length(raw, i);
        if (is_terminal_control(n == 0 ? static_cast<unsigned char>(raw[i]) : code_point(raw, i, n), n)) return true;
        i += n == 0 ? 1 : n;
    }
    return false;
}

std::string utf8_or_printable(const std::string& text) { return is_utf8(text) ? text : printable_path(text); }

std::string hex_bytes(const std::string& raw) {
    static const char lower[] = "0123456789abcdef";
    std::string out;
    out.reserve(raw.size() * 2);
    for (unsigned char c : raw) {
        out += lower[c >> 4];
        out += lower[c & 15];
    }
    return out;
}

} // namespace ds
