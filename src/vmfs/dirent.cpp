#include "vmfs/dirent.h"

#include "vmfs/file_read.h"
#include "vmfs/le.h"

namespace ds {

void dirent_parse(std::span<const uint8_t> buf, tvmfs_dirent& e) {
    e.type = load_le<uint32_t>(buf, 0);
    e.block_id = load_le<uint32_t>(buf, 4);
    e.record_id = load_le<uint32_t>(buf, 8);
    load_bytes(buf, 12, e.name);
}

bool dir_walk(const tvmfs_inode& dir, const std::function<void(const tvmfs_dirent&)>& action) {
    uint8_t raw[kDirentBytes];
    for (int64_t pos = 0; pos < dir.size; pos += kDirentBytes) {
        if (file_read(dir, raw, kDirentBytes, pos) != kDirentBytes) return false;
        tvmfs_dirent e;
        dirent_parse(raw, e);
        action(e);
    }
    return true;
}

std::string dirent_name(const tvmfs_dirent& e) {
    size_t len = 0;
    while (len < sizeof e.name && e.name[len] != 0) ++len;
    size_t begin = 0;
    while (begin < len && e.name[begin] <= 0x20) ++begin;
    while (len > begin && e.name[len - 1] <= 0x20) --len;
    return std::string(reinterpret_cast<const char*>(e.name) + begin, len - begin);
}

std::string utf8_sanitize(const std::string& s) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= s.size();
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; ok && k < n; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values above U+10FFFF are invalid too.
        if (ok && ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
                   (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
            ok = false;
        if (ok) {
            out.append(s, i, n);
            i += n;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

std::string display_name(const tvmfs_dirent& e) { return utf8_sanitize(dirent_name(e)); }

} // namespace ds
