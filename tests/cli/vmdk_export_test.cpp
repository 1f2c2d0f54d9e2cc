// Lost virtual disks: the vmdk rows name the pointer block they were found
// through and how the disk was rebuilt; export vmdk:N writes the rebuilt
// disk, or with --first-pointer-block what that one pointer block addresses.

#include "cli_fixture.h"

#include "builder/le.h"
#include "builder/lost_disks.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

namespace fs = std::filesystem;

bool scans_built() { return run_cli({"vmdk"}).err.find("not available") == std::string::npos; }

std::vector<uint8_t> slice(const std::vector<uint8_t>& b, size_t at, size_t n) {
    return std::vector<uint8_t>(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

TEST(CliVmdkExport, RowsNameThePointerBlockAndExportRecoversWhatItAddresses) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    ASSERT_EQ(d.lost_disks.size(), 1u);
    const dsb::LostDisk& lost = d.lost_disks[0];
    const int64_t addressed = int64_t{4096 / 4} * static_cast<int64_t>(d.block_size);

    nlohmann::json j = nlohmann::json::parse(run_cli(with_disks(d.images, {"--json", "vmdk"})).out);
    ASSERT_EQ(j["rows"].size(), 1u);
    EXPECT_EQ(j["rows"][0]["pointer_block"], lost.pointer_block);
    EXPECT_EQ(j["rows"][0]["first_block"], lost.file_block);
    EXPECT_EQ(j["rows"][0]["addressed_bytes"], addressed);

    dstest::TempDir out;
    RunResult r = run_cli(with_disks(d.images, {"export", "--first-pointer-block", "vmdk:1", out.file("disk")}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The disk's partitions reach 41 GiB: one pointer block holds its first part.
    const uint64_t reach = (uint64_t{83888128} + 2097152) * 512;
    EXPECT_EQ(r.out, "success\ncovered " + std::to_string(addressed) + " bytes\nrecovered in part: its partitions reach byte " +
                         std::to_string(reach) + ", one pointer block addresses the first " + std::to_string(addressed) +
                         "\n");
    ASSERT_EQ(fs::file_size(out.file("disk")), static_cast<uintmax_t>(addressed));
    // Block 0 is the master boot record, block 1 the second block written,
    // every null id after them a hole.
    std::vector<uint8_t> head(3 * d.block_size);
    {
        std::ifstream in(out.file("disk"), std::ios::binary);
        in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    }
    EXPECT_EQ(slice(head, 0, 446), slice(dsb::make_mbr({0x33, 0xC0, 0x8E}, lost.partitions), 0, 446));
    EXPECT_EQ(head[510], 0x55);
    EXPECT_EQ(head[511], 0xAA);
    EXPECT_EQ(slice(head, d.block_size, 4096), dsb::materialize(dsb::pattern_content(6), 0, 4096));
    EXPECT_EQ(slice(head, 2 * d.block_size, d.block_size), std::vector<uint8_t>(d.block_size, 0));

    nlohmann::json done = nlohmann::json::parse(run_cli(with_disks(d.images, {"--json", "export", "--first-pointer-block", "vmdk:1", out.file("d2")})).out);
    EXPECT_EQ(done["bytes"], addressed);
    EXPECT_EQ(done["pointer_block"], lost.pointer_block);
    EXPECT_TRUE(done["partial"].get<bool>());
}

TEST(CliVmdkExport, AWholeSmallDiskWithAHoleAndRowsThatDoNotExist) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    dstest::TempDir dir;
    const std::string img = dir.file("lost.img");
    std::vector<uint8_t> mbr = dsb::make_mbr({0xEB, 0x48, 0x90}, {{0x83, 2048, 4096}});
    std::vector<uint8_t> tail = dsb::materialize(dsb::pattern_content(9), 0, 1000);
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        const uint32_t pb = ds.unused(dsb::SysFile::Pbc);
        const uint32_t b0 = ds.unused(dsb::SysFile::Fbb);
        const uint32_t b3 = ds.unused(dsb::SysFile::Fbb);
        ds.write_item(b0, 0, mbr);
        ds.write_item(b3, 5000, tail);
        std::vector<uint8_t> ids(16, 0);   // slots 1 and 2 null: holes
        dsb::put_le<uint32_t>(ids, 0, b0);
        dsb::put_le<uint32_t>(ids, 12, b3);
        ds.write_item(pb, 0, ids);
    });
    RunResult r = run_cli({"-d", img, "export", "--first-pointer-block", "vmdk:1", dir.file("disk")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const uint64_t addressed = 1024 * dsb::layout::kMiB;
    EXPECT_EQ(r.out, "success\ncovered " + std::to_string(addressed) + " bytes\n");   // the partition fits: no "in part"
    const std::string disk = dir.file("disk");
    ASSERT_EQ(fs::file_size(disk), addressed);
    EXPECT_EQ(dstest::read_at(disk, 0, 512), mbr);
    EXPECT_EQ(dstest::read_at(disk, 3 * dsb::layout::kMiB + 5000, 1000), tail);
    EXPECT_EQ(dstest::read_at(disk, dsb::layout::kMiB, 2 * dsb::layout::kMiB), std::vector<uint8_t>(2 * dsb::layout::kMiB, 0));
    EXPECT_EQ(dstest::read_at(disk, addressed - 4096, 4096), std::vector<uint8_t>(4096, 0));

    for (const char* bad : {"vmdk:0", "vmdk:x", "vmdk:", "vmdk:-1"}) {
        RunResult u = run_cli({"-d", img, "export", bad, dir.file("x")});
        EXPECT_EQ(u.exit_code, 2) << bad << u.err;
    }
    RunResult none = run_cli({"-d", img, "export", "vmdk:2", dir.file("x")});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.err, "file open error|the virtual-disk recovery found 1 rows, not 2\n");
    EXPECT_FALSE(fs::exists(dir.file("x")));
}

TEST(CliVmdkRebuild, RowsTellHowTheDiskWasRebuiltAndExportWritesItWhole) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    if (!dsb::have_mkfs_ext4()) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed: no ext4 guests to rebuild";
    dstest::TempDir dir;
    const dsb::LostVmSummary sum = dsb::build_lost_vms(dir.path().string());
    const std::string len = std::to_string(sum.disks[0].size);

    RunResult rows = run_cli(with_disks(sum.images, {"vmdk"}));
    ASSERT_EQ(rows.exit_code, 0) << rows.err;
    EXPECT_NE(rows.out.find("\t" + len + " bytes, 5/5 pointer blocks placed (1 first, 2 guest, 1 contiguity, 1 neighbours)\n"),
              std::string::npos) << rows.out;
    EXPECT_NE(rows.out.find("1/2 pointer blocks placed (1 first, 1 live-blocks)"), std::string::npos) << rows.out;

    nlohmann::json j = nlohmann::json::parse(run_cli(with_disks(sum.images, {"--json", "vmdk"})).out);
    ASSERT_EQ(j["rows"].size(), 3u);
    const nlohmann::json& a = j["rows"][0]["rebuilt"];
    EXPECT_EQ(a["length"], sum.disks[0].size);
    ASSERT_EQ(a["pointer_blocks"].size(), sum.disks[0].pointer_blocks.size());
    for (size_t s = 0; s < sum.disks[0].pointer_blocks.size(); ++s)
        EXPECT_EQ(a["pointer_blocks"][s]["pointer_block"], sum.disks[0].pointer_blocks[s]);
    EXPECT_EQ(a["pointer_blocks"][1]["evidence"], "guest");
    EXPECT_EQ(a["pointer_blocks"][1]["confidence"], "certain");
    EXPECT_TRUE(a["holes"].empty());
    EXPECT_EQ(j["rows"][2]["rebuilt"]["holes"].size(), 1u);

    RunResult r = run_cli(with_disks(sum.images, {"export", "--hash", "vmdk:1", dir.file("a")}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const uint64_t piece = sum.piece_bytes;
    EXPECT_NE(r.out.find("rebuilt " + len + " bytes from 5 of 5 pointer blocks\nplaced by its boot record: " +
                         std::to_string(piece) + " bytes\nplaced by the guest: " + std::to_string(2 * piece) +
                         " bytes\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("left empty: 0 bytes\n"), std::string::npos);
    EXPECT_EQ(dstest::read_at(dir.file("a"), 0, sum.disks[0].size), dstest::read_at(sum.disks[0].original, 0, sum.disks[0].size));

    RunResult c = run_cli(with_disks(sum.images, {"export", "vmdk:3", dir.file("c")}));
    ASSERT_EQ(c.exit_code, 0) << c.err;
    EXPECT_NE(c.out.find("hole at byte " + std::to_string(piece) + ", " + std::to_string(sum.disks[2].size - piece) +
                         " bytes: the pointer block that continues its neighbour names blocks of live files\n"),
              std::string::npos) << c.out;
}

TEST(CliVmdkRebuild, GptExt4AndNtfsGuestsSayWhichOfTheirStructuresPlacedEachPart) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    dstest::TempDir dir;
    std::optional<dsb::LostVmSummary> made;
    try {
        made = dsb::build_lost_guests(dir.path().string());
    } catch (const std::runtime_error& e) {
        GTEST_SKIP() << "no guests to rebuild: " << e.what();
    }
    const dsb::LostVmSummary& sum = *made;
    RunResult rows = run_cli(with_disks(sum.images, {"vmdk"}));
    ASSERT_EQ(rows.exit_code, 0) << rows.err;
    EXPECT_NE(rows.out.find("\t2415919104 bytes, 3/3 pointer blocks placed (1 first, 2 guest)\n"), std::string::npos)
        << rows.out;
    EXPECT_NE(rows.out.find("\tNTFS\t"), std::string::npos) << rows.out;

    nlohmann::json j = nlohmann::json::parse(run_cli(with_disks(sum.images, {"--json", "vmdk"})).out);
    ASSERT_EQ(j["rows"].size(), 2u);
    const nlohmann::json& g = j["rows"][0]["rebuilt"]["pointer_blocks"];
    const nlohmann::json& n = j["rows"][1]["rebuilt"]["pointer_blocks"];
    ASSERT_EQ(g.size(), 3u);
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(g[2]["detail"], "GPT backup header at LBA " + std::to_string(sum.disks[0].size / 512 - 1));
    EXPECT_EQ(g[1]["confidence"], "certain");
    EXPECT_EQ(n[2]["detail"], "NTFS backup boot sector");
    EXPECT_EQ(n[2]["confidence"], "certain");

    // The thin NTFS disk written whole: equal to the original, its unwritten parts holes.
    RunResult r = run_cli(with_disks(sum.images, {"export", "vmdk:2", dir.file("n")}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("left empty: 0 bytes\n"), std::string::npos) << r.out;
    for (uint64_t at = 0; at < sum.disks[1].size; at += 16 << 20)
        ASSERT_EQ(dstest::read_at(dir.file("n"), at, 16 << 20), dstest::read_at(sum.disks[1].original, at, 16 << 20)) << at;
}

} // namespace
} // namespace clitest
