// A directory cannot hold more entries than the volume has descriptors for
// them to name: listings and walks stop there instead of holding or printing
// whatever a damaged size claims, while a full real directory lists whole.

#include "cli_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

// The builder's ".fdc.sf": 16 items per entry, 16 entries per area, 4 areas.
constexpr size_t kSlots = 16 * 16 * 4;

TEST(CliListingBound, NoMoreEntriesThanTheVolumeHasDescriptors) {
    dstest::TempDir dir;
    const std::string img = dir.file("big.img");
    make_datastore(img, [](dsb::ImageBuilder& ds) {
        const uint32_t f = ds.add_file("/f.txt", dsb::text_file("x"));
        const uint32_t sub = ds.mkdir("/sub");
        // Three times as many names as there are descriptors: a directory
        // that no real datastore can hold.
        const uint32_t big = ds.mkdir("/big");
        for (size_t k = 0; k < 3 * kSlots; ++k) ds.add_dirent(big, 3, f, "n" + std::to_string(k));
        const uint32_t loops = ds.mkdir("/loops");
        for (size_t k = 0; k < 3 * kSlots; ++k) ds.add_dirent(loops, 2, sub, "d" + std::to_string(k));
    });

    RunResult ls = run_cli({"-d", img, "ls", "/big"});
    EXPECT_EQ(ls.exit_code, 1);
    const size_t listed = ls.out_lines().size();
    EXPECT_GT(listed, kSlots / 2) << "the entries before the bound are shown";
    EXPECT_LE(listed, kSlots);
    EXPECT_NE(ls.err.find("dir read incomplete|path:/big"), std::string::npos) << ls.err;

    RunResult js = run_cli({"-d", img, "--json", "ls", "/big"});
    EXPECT_EQ(js.exit_code, 1);
    nlohmann::json j = nlohmann::json::parse(js.out);
    EXPECT_EQ(j["entries"].size(), listed);
    EXPECT_FALSE(j["complete"].get<bool>());

    // A walk is bounded as a whole: a tree names each descriptor once.
    RunResult tree = run_cli({"-d", img, "tree"});
    EXPECT_EQ(tree.exit_code, 1);
    EXPECT_LE(tree.out_lines().size(), kSlots + 2);
    EXPECT_NE(tree.err.find("more entries than the volume has descriptors"), std::string::npos) << tree.err;
}

TEST(CliListingBound, AFullDirectoryOfRealFilesIsListedWhole) {
    dstest::TempDir dir;
    const std::string img = dir.file("full.img");
    // Nearly every descriptor of the volume is a file of one directory.
    const size_t files = kSlots - 16;
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        for (size_t k = 0; k < files; ++k) ds.add_file("/many/f" + std::to_string(k), dsb::text_file("x"));
    });
    RunResult ls = run_cli({"-d", img, "ls", "/many"});
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    EXPECT_EQ(ls.out_lines().size(), files);
    RunResult tree = run_cli({"-d", img, "tree"});
    ASSERT_EQ(tree.exit_code, 0) << tree.err;
    size_t in_many = 0;
    for (const std::string& line : tree.out_lines()) in_many += line.rfind("/many/f", 0) == 0;
    EXPECT_EQ(in_many, files);
}

} // namespace
} // namespace clitest
