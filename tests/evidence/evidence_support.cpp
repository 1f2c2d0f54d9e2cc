#include "evidence_support.h"

#include "text/messages.h"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sys/wait.h>

namespace evtest {
namespace {

std::string hex(const unsigned char* md, unsigned len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}

// A plain digest context, apart from the export's threaded one.
class Sha {
public:
    Sha() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
    ~Sha() { EVP_MD_CTX_free(ctx_); }
    void add(const void* p, size_t n) { EVP_DigestUpdate(ctx_, p, n); }
    std::string text() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        EVP_DigestFinal_ex(ctx_, md, &len);
        return hex(md, len);
    }

private:
    EVP_MD_CTX* ctx_;
};

} // namespace

std::string sha256_of(const std::vector<uint8_t>& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
    return hex(md, len);
}

std::string sha256_of_content(const dsb::ContentFn& content, uint64_t size) {
    Sha sha;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; pos < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        if (content)
            content(pos, std::span<uint8_t>(buf.data(), n));
        else
            std::fill_n(buf.begin(), n, 0);
        sha.add(buf.data(), n);
        pos += n;
    }
    return sha.text();
}

std::string sha256_of_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Sha sha;
    std::vector<char> buf(1 << 20);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0)
        sha.add(buf.data(), static_cast<size_t>(in.gcount()));
    return sha.text();
}

nlohmann::json read_json(const std::string& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

std::string make_e01(const std::string& raw, const std::string& base, uint64_t segment_bytes, std::string* why) {
    // Empty chunks compressed, so that a mostly empty image makes a small set.
    std::string out;
    int rc = shell("ewfacquire -u -q -c empty-block -S " + std::to_string(segment_bytes) + " -t '" + base +
                       "' -C case -D description -e examiner -E evidence -N notes '" + raw + "' </dev/null",
                   &out);
    std::string first = base + ".E01";
    if (rc != 0 || !std::ifstream(first)) {
        if (why) *why = "ewfacquire exit " + std::to_string(rc) + ": " + out;
        return "";
    }
    return first;
}

const std::string& demo_e01() {
    static const std::string path = [] {
        std::string why;
        std::string p = make_e01(clitest::demo().images.at(0), clitest::image_dir().file("demo-evidence"),
                                 1 << 20, &why);
        if (p.empty()) std::fprintf(stderr, "%s\n", why.c_str());
        return p;
    }();
    return path;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
    return text;
}

std::string refusal_text(const ds::FolderExportResult& r) {
    return ds::folder_refusal_message(r.refused, r.refused_path, r.sys_errno);
}

} // namespace evtest
