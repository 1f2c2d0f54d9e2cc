#include "support/test_support.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace dstest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "datumsift-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> read_at(const std::string& path, uint64_t at, uint64_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    std::vector<uint8_t> b(n);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    b.resize(static_cast<size_t>(in.gcount()));
    return b;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool have_program(const std::string& name) {
    return shell("PATH=$PATH:/usr/sbin:/sbin command -v " + name + " >/dev/null") == 0;
}

int shell(const std::string& command, std::string* output) {
    std::string all;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) all.append(buf.data(), n);
    const int st = ::pclose(p);
    if (output) *output = all;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace dstest
