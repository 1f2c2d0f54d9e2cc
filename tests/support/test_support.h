#pragma once
// Helpers shared by the tests: a temporary directory that removes itself, and
// a fixture that starts every test from an empty process state.

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
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
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Resets the logical volume, the file system and the reader before and after
// each test.
class CleanState : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace dstest
