#include "mount_support.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace mounttest {

namespace fsys = std::filesystem;

std::string fuse_missing() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse cannot be opened here";
    if (!have_program("fusermount3")) return "fusermount3 (fuse3) is not installed";
    return "";
}

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string mount_options(const std::string& path) {
    const std::string want = fsys::weakly_canonical(path).string();
    std::ifstream in("/proc/self/mounts");
    std::string dev, where, type, options, rest;
    while (in >> dev >> where >> type >> options && std::getline(in, rest))
        if (where == want && type == "fuse.datumsift") return options;
    return "";
}

bool is_mounted(const std::string& path) { return !mount_options(path).empty(); }

bool wait_mounted(const std::string& path, bool mounted) {
    for (int i = 0; i < 200; ++i) {
        if (is_mounted(path) == mounted) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

Mounted::Mounted(const std::vector<std::string>& images, const std::string& mountpoint, std::vector<std::string> flags)
    : mountpoint_(mountpoint) {
    fsys::create_directories(mountpoint);
    std::vector<std::string> rest = {"-q", "mount"};
    rest.insert(rest.end(), flags.begin(), flags.end());
    rest.push_back(mountpoint);
    run_ = clitest::run_cli(clitest::with_disks(images, rest));
    ok_ = run_.exit_code == 0 && is_mounted(mountpoint);
}

Mounted::~Mounted() { unmount(); }

bool Mounted::unmount() {
    if (is_mounted(mountpoint_)) shell("fusermount3 -u " + shell_quote(mountpoint_));
    return wait_mounted(mountpoint_, false);
}

Tree read_tree(const std::string& root) {
    Tree t;
    for (auto it = fsys::recursive_directory_iterator(root); it != fsys::recursive_directory_iterator(); ++it) {
        const std::string rel = fsys::relative(it->path(), root).string();
        if (it->is_directory()) {
            t[rel] = "dir";
        } else {
            t[rel] = read_text(it->path().string());
        }
    }
    return t;
}

std::string compare_trees(const Tree& want, const Tree& got) {
    for (const auto& [path, bytes] : want) {
        auto it = got.find(path);
        if (it == got.end()) return "missing: " + path;
        if (it->second != bytes) return "differs: " + path;
    }
    for (const auto& [path, bytes] : got)
        if (!want.count(path)) return "not expected: " + path;
    return "";
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace mounttest
