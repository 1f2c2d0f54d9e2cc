#pragma once
// Helpers shared by the tests: a temporary directory that removes itself, and
// a fixture that gives every test a datastore of its own.

#include "vmfs/datastore.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace dstest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> read_file(const std::string& path);
// n bytes of a (sparse, large) host file at offset at; fewer at its end.
std::vector<uint8_t> read_at(const std::string& path, uint64_t at, uint64_t n);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Runs a shell command; its exit status, with what it printed (stdout and
// stderr together) in *output.
int shell(const std::string& command, std::string* output = nullptr);
// Whether a program is on the PATH or in the system directories of root's tools.
bool have_program(const std::string& name);

// A datastore of its own for each test, over image files and block devices
// unless the test gives it a source.
class WithDatastore : public ::testing::Test {
private:
    std::optional<ds::Datastore> held_{std::in_place};

protected:
    ds::Datastore& store = *held_;
    // Drops the datastore, closing its disks, and starts over on a new one
    // (built from args: a source, or nothing for image files).
    template <class... Args>
    void new_store(Args&&... args) {
        held_.emplace(std::forward<Args>(args)...);
    }
};

} // namespace dstest
