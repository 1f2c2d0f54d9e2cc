#pragma once
// Mounting a builder datastore with the datumsift command and looking at the
// result with the host's own tools, which these tests drive as a user would.

#include "cli_fixture.h"
#include "support/test_support.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mounttest {

using dstest::have_program;
using dstest::shell;

// Why a FUSE mount cannot be tried here (no /dev/fuse, no fusermount3), or
// empty when it can.
std::string fuse_missing();

// The shell's quoting of one argument.
std::string shell_quote(const std::string& text);

// Whether a FUSE file system of this program is mounted at path.
bool is_mounted(const std::string& path);
// The mount options the kernel shows for the mount at path; empty when none.
std::string mount_options(const std::string& path);
// Waits (a few seconds at most) until path is mounted, or no longer is.
bool wait_mounted(const std::string& path, bool mounted);

// A mount made by the command in the background, ended on destruction.
class Mounted {
public:
    Mounted(const std::vector<std::string>& images, const std::string& mountpoint, std::vector<std::string> flags = {});
    ~Mounted();
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    bool ok() const { return ok_; }
    const clitest::RunResult& run() const { return run_; }
    // Ends it with fusermount3 -u; true when the mount is gone.
    bool unmount();

private:
    std::string mountpoint_;
    clitest::RunResult run_;
    bool ok_ = false;
};

// A host directory tree: relative path -> "dir" or the file's bytes.
using Tree = std::map<std::string, std::string>;
Tree read_tree(const std::string& root);
// Empty when both trees hold the same names, kinds and bytes; else the first difference.
std::string compare_trees(const Tree& want, const Tree& got);

std::string read_text(const std::string& path);

} // namespace mounttest
