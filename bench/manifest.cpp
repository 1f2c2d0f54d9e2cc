#include "manifest.h"

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace dsbench {

void append_extent(std::vector<Extent>& extents, const Extent& next) {
    if (next.length == 0) return;
    if (!extents.empty()) {
        Extent& last = extents.back();
        if (last.image == next.image && (next.image.empty() || last.image_offset + last.length == next.image_offset)) {
            last.length += next.length;
            return;
        }
    }
    extents.push_back(next);
}

void FoundDigest::add(int64_t number, uint64_t dir_id, int64_t first_block) {
    for (uint64_t v : {static_cast<uint64_t>(number), dir_id, static_cast<uint64_t>(first_block)}) {
        for (int i = 0; i < 8; ++i) {
            h_ ^= (v >> (8 * i)) & 0xFF;
            h_ *= 1099511628211ull;
        }
    }
}

namespace {

// One "key<TAB>field<TAB>field..." line per value; lists repeat their key.
class Writer {
public:
    explicit Writer(const std::string& path) : out_(path) {
        if (!out_) throw std::runtime_error("cannot write " + path);
    }
    template <typename... T>
    void line(const std::string& key, const T&... fields) {
        out_ << key;
        ((out_ << '\t' << fields), ...);
        out_ << '\n';
    }
    void volume(const std::string& prefix, const Volume& v) {
        for (const std::string& image : v.images) line(prefix + ".image", image);
        line(prefix + ".start_sector", v.start_sector);
    }
    void file(const std::string& prefix, const FileCase& f) {
        volume(prefix, f.volume);
        line(prefix + ".id", f.id);
        line(prefix + ".size", f.size);
        line(prefix + ".block_size", f.block_size);
        line(prefix + ".layout", f.layout);
        for (const Extent& e : f.extents) line(prefix + ".extent", e.image, e.image_offset, e.length);
    }
    void close() {
        out_.close();
        if (!out_) throw std::runtime_error("manifest write failed");
    }

private:
    std::ofstream out_;
};

std::vector<std::string> split_tabs(const std::string& s) {
    std::vector<std::string> parts;
    std::string::size_type at = 0;
    for (;;) {
        std::string::size_type tab = s.find('\t', at);
        parts.push_back(s.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) return parts;
        at = tab + 1;
    }
}

class Reader {
public:
    explicit Reader(const std::string& path) {
        std::ifstream in(path);
        if (!in) throw std::runtime_error("cannot read " + path + " (run the build step first)");
        std::string s;
        while (std::getline(in, s)) {
            if (s.empty()) continue;
            std::vector<std::string> parts = split_tabs(s);
            std::string key = parts.front();
            parts.erase(parts.begin());
            values_.emplace(key, parts);
        }
    }
    std::vector<std::vector<std::string>> all(const std::string& key) const {
        std::vector<std::vector<std::string>> out;
        auto [lo, hi] = values_.equal_range(key);
        for (auto it = lo; it != hi; ++it) out.push_back(it->second);
        return out;
    }
    std::string text(const std::string& key) const {
        auto it = values_.find(key);
        if (it == values_.end() || it->second.size() != 1) throw std::runtime_error("manifest lacks " + key);
        return it->second.front();
    }
    uint64_t number(const std::string& key) const { return to_u64(text(key), key); }
    Volume volume(const std::string& prefix) const {
        Volume v;
        for (const auto& fields : all(prefix + ".image")) v.images.push_back(fields.at(0));
        if (v.images.empty()) throw std::runtime_error("manifest lacks " + prefix + ".image");
        v.start_sector = static_cast<int64_t>(number(prefix + ".start_sector"));
        return v;
    }
    FileCase file(const std::string& prefix) const {
        FileCase f;
        f.volume = volume(prefix);
        f.id = static_cast<uint32_t>(number(prefix + ".id"));
        f.size = number(prefix + ".size");
        f.block_size = number(prefix + ".block_size");
        f.layout = text(prefix + ".layout");
        uint64_t covered = 0;
        for (const auto& fields : all(prefix + ".extent")) {
            if (fields.size() != 3) throw std::runtime_error("bad " + prefix + ".extent line");
            Extent e{fields[0], to_u64(fields[1], prefix), to_u64(fields[2], prefix)};
            covered += e.length;
            f.extents.push_back(e);
        }
        if (covered != f.size) throw std::runtime_error(prefix + ": extents do not cover the file");
        return f;
    }

private:
    static uint64_t to_u64(const std::string& s, const std::string& key) {
        std::size_t used = 0;
        uint64_t v = 0;
        try {
            v = std::stoull(s, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != s.size()) throw std::runtime_error("manifest: " + key + " is not a number");
        return v;
    }
    std::multimap<std::string, std::vector<std::string>> values_;
};

} // namespace

void write_manifest(const std::string& path, const Manifest& m) {
    Writer w(path);
    w.file("pointer", m.pointer);
    w.file("multi", m.multi);
    w.file("holes", m.holes);
    w.volume("bench", m.bench);
    w.line("bench.fdc_slots", m.fdc_slots);
    w.line("bench.deleted_files", m.deleted_files);
    w.line("bench.big_dir", m.big_dir);
    w.line("bench.big_dir_entries", m.big_dir_entries);
    w.volume("format", m.format);
    w.line("format.candidates", m.format_candidates);
    w.line("format.free_subblocks", m.format_free_subblocks);
    w.line("format.found", m.format_found);
    w.line("format.digest", m.format_digest);
    w.close();
}

Manifest read_manifest(const std::string& path) {
    Reader r(path);
    Manifest m;
    m.pointer = r.file("pointer");
    m.multi = r.file("multi");
    m.holes = r.file("holes");
    m.bench = r.volume("bench");
    m.fdc_slots = r.number("bench.fdc_slots");
    m.deleted_files = r.number("bench.deleted_files");
    m.big_dir = static_cast<uint32_t>(r.number("bench.big_dir"));
    m.big_dir_entries = static_cast<uint32_t>(r.number("bench.big_dir_entries"));
    m.format = r.volume("format");
    m.format_candidates = static_cast<uint32_t>(r.number("format.candidates"));
    m.format_free_subblocks = r.number("format.free_subblocks");
    m.format_found = r.number("format.found");
    m.format_digest = r.number("format.digest");
    return m;
}

} // namespace dsbench
