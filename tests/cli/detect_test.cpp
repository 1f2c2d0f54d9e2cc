// detect on images, and the drive list over a made-up /sys/block.

#include "cli_fixture.h"

#include "disk/drive_list.h"
#include "text/drive_text.h"
#include "text/progress_text.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

using Lines = std::vector<std::string>;

// A file of zeros of the given size with the first member's volume header
// copied to each offset.
void fake_disk(const std::string& path, uint64_t size, const std::vector<uint64_t>& header_at) {
        std::vector<uint8_t> header(1024);
    {
        std::ifstream src(demo().images[0], std::ios::binary);
        src.seekg(static_cast<std::streamoff>(demo().start_sector * 512 + 0x100000));
        src.read(reinterpret_cast<char*>(header.data()), 1024);
    }
    std::filesystem::resize_file((std::ofstream(path), path), size);
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    for (uint64_t at : header_at) {
        f.seekp(static_cast<std::streamoff>(at));
        f.write(reinterpret_cast<const char*>(header.data()), 1024);
    }
}

TEST(CliDetect, FindsTheFirstSegmentAndJoinsTheMembersInSegmentOrder) {
        RunResult one = run_cli({"detect", demo().images[0]});
    ASSERT_EQ(one.exit_code, 0) << one.err;
    EXPECT_EQ(one.out_lines(), (Lines{"VM found", demo().images[0] + "|0|", "VM DISKS", demo().images[0] + "|2048|",
                                      "-d " + demo().images[0] + "@2048"}));

    // Given in the wrong order, still joined as segment 0..1 then 2..3.
    const std::string& m0 = multi().images[0];
    const std::string& m1 = multi().images[1];
    RunResult multi = run_cli({"detect", m1, m0});
    ASSERT_EQ(multi.exit_code, 0) << multi.err;
    EXPECT_EQ(multi.out_lines(), (Lines{"VM found", m0 + "|1|", "VM DISKS", m0 + "|2048|", m1 + "|2048|",
                                        "-d " + m0 + "@2048 -d " + m1 + "@2048"}));
}

TEST(CliDetect, EndsWithTheDiskArgumentsReadyToPaste) {
    // A name the shell would split or expand is quoted.
    dstest::TempDir dir;
    std::string odd = dir.file("it's a disk $1.img");
    std::filesystem::create_symlink(demo().images[0], odd);
    RunResult r = run_cli({"detect", odd});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string args = r.out_lines().back();
    EXPECT_EQ(args.substr(0, 4), "-d '") << args;

    std::string cmd = std::string("'") + DATUMSIFT_BIN + "' " + args + " ls /vm1 > '" + dir.file("ls.txt") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(dir.file("ls.txt"));
    std::string listing((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(listing, run_cli(with_disks(demo().images, {"ls", "/vm1"})).out);

    nlohmann::json j = nlohmann::json::parse(run_cli({"--json", "detect", odd}).out);
    EXPECT_EQ(j["arguments"], nlohmann::json({"-d", odd + "@2048"}));
}

TEST(CliDetect, TwoFirstSegmentsWaitForAChoice) {
        const std::string& a = demo().images[0];
    const std::string& b = formatted().images[0];
    RunResult both = run_cli({"detect", a, b});
    EXPECT_EQ(both.exit_code, 1);
    EXPECT_EQ(both.out_lines(), (Lines{"VM found", a + "|0|", b + "|1|"}));

    RunResult picked = run_cli({"detect", "--pick", "1", a, b});
    ASSERT_EQ(picked.exit_code, 0) << picked.err;
    EXPECT_EQ(picked.out_lines().back(), "-d " + b + "@2048");
    EXPECT_EQ(run_cli({"detect", "--pick", "7", a, b}).exit_code, 2);
}

TEST(CliDetect, ReportsUnreadableDrivesAndMissingFirstSegments) {
    dstest::TempDir dir;
    fake_disk(dir.file("short.img"), 4 << 20, {});          // ends before the scan does
    fake_disk(dir.file("blank.img"), 12 << 20, {});
    RunResult r = run_cli({"detect", dir.file("short.img"), dir.file("blank.img")});
    EXPECT_EQ(r.exit_code, 1);
    // The window's text, then the drive and why it could not be read.
    EXPECT_EQ(r.err, "read 512sec error \n" + dir.file("short.img") +
                         ": it ends before the first 10 MiB, where a volume header is looked for\n"
                         "VM  first segment not find\n");
    EXPECT_EQ(r.out, "VM found\n");
    // With --json each drive that could not be read is named with its code.
    RunResult j = run_cli({"--json", "detect", dir.file("short.img"), dir.file("blank.img")});
    EXPECT_EQ(j.exit_code, 1);
    const nlohmann::json doc = nlohmann::json::parse(j.out);
    ASSERT_EQ(doc["unreadable"].size(), 1u) << j.out;
    EXPECT_EQ(doc["unreadable"][0]["device"], dir.file("short.img"));
    EXPECT_EQ(doc["unreadable"][0]["error"], "read 512sec error ");
    EXPECT_EQ(doc["unreadable"][0]["code"], "read_sector_error");
}

TEST(CliDetect, IgnoresAHeaderBeforeOneMebibyteAndKeepsAtMost32Candidates) {
    dstest::TempDir dir;
    // A header at 4 KiB would put the partition before the drive; the one
    // further on is the real find.
    fake_disk(dir.file("early.img"), 12 << 20, {4096, 3 << 20});
    RunResult early = run_cli({"--json", "detect", dir.file("early.img")});
    nlohmann::json j = nlohmann::json::parse(early.out);
    ASSERT_EQ(j["candidates"].size(), 1u) << early.out;
    EXPECT_EQ(j["candidates"][0]["start_sector"], 4096);

    std::vector<std::string> args = {"detect"};
    for (int i = 0; i < 33; ++i) {
        std::string p = dir.file("c" + std::to_string(i) + ".img");
        fake_disk(p, 12 << 20, {2 << 20});
        args.push_back(p);
    }
    RunResult many = run_cli(args);
    EXPECT_EQ(many.out_lines().size(), 33u);   // "VM found" and 32 candidates
    EXPECT_NE(many.err.find("1 not kept"), std::string::npos) << many.err;
}

class DriveListTest : public ::testing::Test {
protected:
    void add(const std::string& name, const std::string& dev, const std::string& size, int removable = 0) {
        std::filesystem::create_directories(dir.path() / name);
        std::ofstream(dir.path() / name / "size") << size << "\n";
        std::ofstream(dir.path() / name / "removable") << removable << "\n";
        if (!dev.empty()) std::ofstream(dir.path() / name / "dev") << dev << "\n";
    }
    dstest::TempDir dir;
};

TEST_F(DriveListTest, ListsWholeDisksInAStableOrderWithoutRamDisksOrEmptyDevices) {
    add("sdb", "8:16", "2048");
    add("sdaa", "65:160", "2048");
    add("sda", "8:0", "976773168");
    add("loop10", "7:10", "4096");
    add("loop2", "7:2", "4096");
    add("loop3", "7:3", "0");          // not bound to an image
    add("ram0", "1:0", "8192");
    add("zram0", "252:0", "8192");
    add("sr0", "11:0", "0", 1);        // empty optical drive
    add("sdc", "8:32", "2047979", 1);
    add("cciss!c0d0", "104:0", "100");
    add("odd", "", "100");             // no device number: last
    std::vector<ds::DriveInfo> d = ds::list_drives(dir.path().string());
    Lines names, texts;
    for (const ds::DriveInfo& x : d) {
        names.push_back(x.device);
        texts.push_back(ds::drive_item_text(x));
    }
    EXPECT_EQ(names, (Lines{"/dev/loop2", "/dev/loop10", "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdaa",
                            "/dev/cciss/c0d0", "/dev/odd"}));
    EXPECT_EQ(texts[2], "本地磁盘 2 (465.76 GB) ");
    EXPECT_EQ(texts[4], "可移动存储 4 (999.99 MB) ");
    EXPECT_TRUE(ds::is_fixed_drive_text(texts[2]));
    EXPECT_FALSE(ds::is_fixed_drive_text(texts[4]));
    EXPECT_TRUE(ds::list_drives(dir.file("missing")).empty());
}

TEST(DriveTexts, SizeTexts) {
    EXPECT_EQ(ds::drive_size_text(2047979), "999.99 MB)");
    EXPECT_EQ(ds::drive_size_text(2048000), "0.98 GB)");    // 1000 MB
    EXPECT_EQ(ds::drive_size_text(0), "0.00 MB)");
}

TEST(CliDisks, ListsDrivesAndExitsZero) {
    RunResult r = run_cli({"disks"});
    EXPECT_EQ(r.exit_code, 0);
    RunResult j = run_cli({"--json", "disks"});
    const nlohmann::json drives = nlohmann::json::parse(j.out)["drives"];
    EXPECT_TRUE(drives.is_array());
    // Beside the disk settings' menu text, the size in the binary units of
    // every other size the program prints.
    ASSERT_EQ(r.out_lines().size(), drives.size());
    for (size_t i = 0; i < drives.size(); ++i) {
        const std::string size = drives[i]["size"];
        EXPECT_EQ(size, ds::size_text(drives[i]["total_sectors"].get<double>() * 512));
        EXPECT_EQ(r.out_lines()[i], drives[i]["text"].get<std::string>() + "\t" + drives[i]["device"].get<std::string>() +
                                         "\t" + size);
    }
    EXPECT_EQ(ds::size_text(976773168.0 * 512), "465.76 GiB");
}

} // namespace
} // namespace clitest
