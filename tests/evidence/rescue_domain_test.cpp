// stat --domain: the ranges of a member disk that reading some files again
// needs, as a GNU ddrescue domain mapfile. ddrescue itself copies only those
// from the original image into an empty one, and the files then export from
// the copy byte for byte, while a file outside the domain does not.

#include "evidence_support.h"

#include "disk/ddrescue_map.h"
#include "support/open_images.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using namespace clitest;

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes the domain of member disk of images for paths to dest; the bytes it marks '+'.
int64_t write_domain(const std::vector<std::string>& images, const std::string& disk,
                     const std::vector<std::string>& paths, const std::string& dest) {
    std::vector<std::string> args = {"stat", "--domain", disk};
    args.insert(args.end(), paths.begin(), paths.end());
    RunResult r = run_cli(with_disks(images, args));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::ofstream(dest, std::ios::binary) << r.out;
    // Read back as ddrescue reads it: '+' finished, everything else not.
    ds::Mapfile map;
    std::string error;
    EXPECT_TRUE(ds::parse_mapfile(r.out, map, error)) << error << "\n" << r.out;
    EXPECT_EQ(map.covered, static_cast<int64_t>(std::filesystem::file_size(disk)));
    return map.covered - ds::total_length(map.not_finished);
}

// ddrescue copies the domain of original into a new image; its exit status.
int rescue_domain(const std::string& original, const std::string& domain, const std::string& copy) {
    std::string out;
    const int rc = evtest::shell("ddrescue -q -m " + domain + " " + original + " " + copy + " " + copy + ".map", &out);
    EXPECT_EQ(rc, 0) << out;
    // The copy is as long as the original, as the imaged disk would be.
    evtest::shell("truncate -s " + std::to_string(std::filesystem::file_size(original)) + " " + copy);
    return rc;
}

TEST(RescueDomain, DdrescueOfTheDomainAloneGivesAnImageTheFilesExportFromByteForByte) {
    if (!evtest::have_program("ddrescue")) GTEST_SKIP() << "ddrescue (gddrescue) is not installed";
    dstest::TempDir dir;
    const std::string& image = demo().images[0];
    // A file of blocks, one below a second directory level, one small enough
    // to live in a sub-block.
    const std::vector<std::string> paths = {"/vm1/vm1.log", "/vm1/snapshots/vm1-Snapshot1.vmsn", "/vm1/vm1.vmx"};
    const int64_t marked = write_domain(demo().images, image, paths, dir.file("vm1.domain"));
    // A few MiB of a 530 MiB disk.
    EXPECT_GT(marked, 0);
    EXPECT_LT(marked, static_cast<int64_t>(std::filesystem::file_size(image) / 20));
    ASSERT_EQ(rescue_domain(image, dir.file("vm1.domain"), dir.file("rescued.img")), 0);

    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        RunResult r = run_cli({"-d", dir.file("rescued.img"), "export", path, dir.file("out")});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(file_bytes(dir.file("out")) == dstest::expected_bytes(object(demo(), path)));
        std::filesystem::remove(dir.file("out"));
    }
    // A file of another virtual machine was not rescued: it cannot be read,
    // or reads as the zeros of the blocks never copied.
    const dsb::ObjectExpect& other = object(demo(), "/vm2/vm2-flat.vmdk");
    RunResult r = run_cli({"-d", dir.file("rescued.img"), "export", other.path, dir.file("other")});
    if (r.exit_code == 0) {
        const std::vector<uint8_t> got = file_bytes(dir.file("other"));
        EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_FALSE(got == dstest::expected_bytes(other));
    }
}

TEST(RescueDomain, EachMemberGetsItsOwnRangesAndBothRescuedReadTheSpanningFile) {
    if (!evtest::have_program("ddrescue")) GTEST_SKIP() << "ddrescue (gddrescue) is not installed";
    dstest::TempDir dir;
    const dsb::MultiSummary& m = multi();
    ASSERT_EQ(m.images.size(), 2u);
    std::vector<std::string> rescued;
    for (size_t k = 0; k < m.images.size(); ++k) {
        const std::string n = std::to_string(k);
        EXPECT_GT(write_domain(m.images, m.images[k], {m.spanning.path}, dir.file("domain" + n)), 0);
        ASSERT_EQ(rescue_domain(m.images[k], dir.file("domain" + n), dir.file("rescued" + n)), 0);
        rescued.push_back(dir.file("rescued" + n));
    }
    RunResult r = run_cli(with_disks(rescued, {"export", m.spanning.path, dir.file("out")}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(file_bytes(dir.file("out")) == dstest::expected_bytes(m.spanning));
    // The second member's domain alone does not make it: the first's part
    // of the file lies on the first member.
    ASSERT_EQ(rescue_domain(m.images[0], dir.file("domain1"), dir.file("wrong0")), 0);
    RunResult wrong = run_cli(with_disks({dir.file("wrong0"), rescued[1]}, {"export", m.spanning.path, dir.file("w")}));
    EXPECT_NE(wrong.exit_code, 0);
}

TEST(RescueDomain, ADiskNotGivenOrSeveralPathsWithoutDomainAreUsageErrors) {
    RunResult r = run_cli(with_disks(demo().images, {"stat", "--domain", "/nonexistent.img", "/vm1/vm1.log"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("is not a disk given with -d"), std::string::npos) << r.err;
    r = run_cli(with_disks(demo().images, {"stat", "/vm1/vm1.log", "/vm1/vm1.vmx"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    r = run_cli(with_disks(demo().images, {"stat", "--domain", demo().images[0], "/vm1/nothing"}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
}

} // namespace
