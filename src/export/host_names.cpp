#include "export/host_names.h"

#include "export/chunk_digest.h"
#include "export/dir_names.h"
#include "text/name_text.h"

namespace ds {
namespace {

// Longest host name written: NAME_MAX (255) less room for the "~N" of a
// duplicate and the ".partial" of a copy in progress.
constexpr size_t kHostNameRoom = 255 - 16;

// What a host directory entry cannot hold, and the control characters that
// would reach a terminal through ls of the copy.
bool host_must(unsigned c, size_t n) { return n == 0 || c == '%' || c == '/' || c < 0x20 || c == 0x7F; }

} // namespace

std::string host_name_encode(const std::string& raw) {
    if (raw.empty()) return "%";
    if (raw == ".") return "%2E";
    if (raw == "..") return "%2E%2E";
    return escape_name(raw, "%", host_must);
}

bool host_name_decode(const std::string& host, std::string& raw) {
    raw.clear();
    if (host == "%") return true;
    return unescape_name(host, "%", raw);
}

std::string host_name_fit(const std::string& raw, bool& shortened) {
    std::string host = host_name_encode(raw);
    shortened = host.size() > kHostNameRoom;
    if (!shortened) return host;
    // Keep a short extension so that the host still knows the kind of file.
    std::string ext;
    const size_t dot = host.rfind('.');
    if (dot != std::string::npos && dot > 0 && host.size() - dot <= 16) ext = host.substr(dot);
    const std::string mark = "~" + sha256_hex(reinterpret_cast<const uint8_t*>(raw.data()), static_cast<int64_t>(raw.size())).substr(0, 12);
    size_t cut = kHostNameRoom - mark.size() - ext.size();
    // Never cut inside a UTF-8 character or a %XX escape.
    while (cut > 0 && (static_cast<unsigned char>(host[cut]) & 0xC0) == 0x80) --cut;
    if (cut >= 1 && host[cut - 1] == '%') cut -= 1;
    else if (cut >= 2 && host[cut - 2] == '%') cut -= 2;
    return host.substr(0, cut) + mark + ext;
}

std::string host_name_fit(const std::string& raw) {
    bool shortened = false;
    return host_name_fit(raw, shortened);
}

void number_host_names(std::vector<std::string>& bases) {
    DirNames names;
    for (const std::string& b : bases) names.add(b);
    if (!names.seal()) return;
    for (const std::string& b : bases) names.number(b);
    for (std::string& b : bases) b = names.next(b);
}

} // namespace ds
