#include "disk/ddrescue_map.h"

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ds {
namespace {

// Mapfiles hold one line per block: far fewer than this on any disk a
// rescue tool has seen, and a bound on what a wrong file can cost.
constexpr size_t kMaxMapfileBytes = size_t{1} << 30;

bool number(const std::string& word, int64_t& out) {
    if (word.empty() || word[0] == '-' || word[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || end != word.c_str() + word.size() || v > static_cast<unsigned long long>(INT64_MAX))
        return false;
    out = static_cast<int64_t>(v);
    return true;
}

} // namespace

bool parse_mapfile(const std::string& text, Mapfile& out, std::string& error) {
    out = {};
    std::istringstream in(text);
    std::string line;
    bool status_seen = false;
    int64_t line_no = 0;
    auto bad = [&](const std::string& why) {
        error = "line " + std::to_string(line_no) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (!status_seen) {
            int64_t pos = 0;
            if (w.size() < 2 || w.size() > 3 || !number(w[0], pos) || w[1].size() != 1 ||
                std::strchr("?*/-FG+", w[1][0]) == nullptr)
                return bad("not a status line (current position, status, pass)");
            status_seen = true;
            continue;
        }
        int64_t pos = 0, size = 0;
        if (w.size() != 3 || !number(w[0], pos) || !number(w[1], size) || w[2].size() != 1 ||
            std::strchr("?*/-+", w[2][0]) == nullptr)
            return bad("not a block line (position, size, status)");
        if (pos != out.covered) return bad("the block does not start where the one before it ends");
        if (size <= 0 || size > INT64_MAX - pos) return bad("the block's size is not a positive size");
        if (w[2][0] != '+') append_range(out.not_finished, {pos, size});
        out.covered = pos + size;
    }
    if (!status_seen) return bad("no status line: not a mapfile");
    if (out.covered == 0) return bad("no blocks: the map describes nothing");
    return true;
}

bool read_mapfile(const std::string& path, Mapfile& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno != 0 ? errno : ENOENT);
        return false;
    }
    std::string text;
    char piece[65536];
    while (in.read(piece, sizeof piece) || in.gcount() > 0) {
        text.append(piece, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxMapfileBytes) {
            error = "larger than any mapfile (1 GiB)";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot be read";
        return false;
    }
    return parse_mapfile(text, out, error);
}

void MaskedSource::record_reads() { recording_ = true; }

std::vector<ByteSpan> MaskedSource::recorded(const std::string& device) const {
    std::lock_guard lock(record_mu_);
    std::vector<ByteSpan> out;
    auto it = recorded_.find(device);
    if (it != recorded_.end())
        for (const auto& [start, end] : it->second) out.push_back({start, end - start});
    return out;
}

bool MaskedSource::read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) {
    if (recording_ && len > 0 && off >= 0 && off <= INT64_MAX - len) {
        std::lock_guard lock(record_mu_);
        std::map<int64_t, int64_t>& ranges = recorded_[device];
        int64_t start = off, end = off + len;
        // Swallow every range that touches [start, end).
        auto it = ranges.upper_bound(start);
        if (it != ranges.begin() && std::prev(it)->second >= start) --it;
        while (it != ranges.end() && it->first <= end) {
            start = std::min(start, it->first);
            end = std::max(end, it->second);
            it = ranges.erase(it);
        }
        ranges.emplace(start, end);
    }
    // Most disks come without a map: no lookup for them.
    auto it = masks_.empty() ? masks_.end() : masks_.find(device);
    if (it != masks_.end()) {
        const std::vector<ByteSpan>& ranges = it->second;
        // The first range ending after off decides.
        auto r = std::upper_bound(ranges.begin(), ranges.end(), off,
                                  [](int64_t at, const ByteSpan& span) { return at < span.end(); });
        if (r != ranges.end() && r->offset < off + len && len > 0) {
            errno = EIO;
            return false;
        }
    }
    return inner_->read(device, off, len, buf);
}

int MaskedSource::raw_fd(const std::string& device) {
    return masks_.count(device) != 0 ? -1 : inner_->raw_fd(device);
}

} // namespace ds
