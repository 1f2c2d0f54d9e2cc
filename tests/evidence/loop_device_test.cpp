// A builder image attached as a read-only loop device: detection, opening,
// listing, export and the scans through the device node, so that the block
// device path of the sector reader (its size query and its reads) runs on a
// real device. Needs root and loop devices; skips where they are missing.

#include "evidence_support.h"

#include "disk/sector_source.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;
using clitest::RunResult;
using clitest::run_cli;
using clitest::with_disks;

class LoopDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
        if (!have_program("losetup")) GTEST_SKIP() << "losetup (util-linux) is not installed";
        image_ = clitest::demo().images.at(0);
        std::string out;
        int rc = shell("losetup -r -f --show '" + image_ + "'", &out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        if (rc != 0 || out.rfind("/dev/", 0) != 0)
            GTEST_SKIP() << "no read-only loop device could be attached here (losetup -r: " << out << ")";
        device_ = out;
    }
    void TearDown() override {
        if (!device_.empty()) shell("losetup -d '" + device_ + "'");
    }
    std::string image_;
    std::string device_;
};

TEST_F(LoopDevice, TheDeviceNodeReadsAsTheImageItHolds) {
    struct stat st {};
    ASSERT_EQ(::stat(device_.c_str(), &st), 0);
    ASSERT_TRUE(S_ISBLK(st.st_mode));
    const std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
    ds::SectorSource& src = *posix;
    const int64_t size = static_cast<int64_t>(fs::file_size(image_));
    EXPECT_EQ(src.size(device_), size);   // BLKGETSIZE64, not a file size
    std::vector<uint8_t> a(1 << 20), b(1 << 20);
    ASSERT_TRUE(src.read(device_, 1 << 20, 1 << 20, a.data()));
    ASSERT_TRUE(src.read(image_, 1 << 20, 1 << 20, b.data()));
    EXPECT_EQ(a, b);
    EXPECT_FALSE(src.read(device_, size - 100, 512, a.data()));
}

TEST_F(LoopDevice, EveryCommandRunsThroughTheDeviceNode) {
    const dsb::DemoSummary& d = clitest::demo();
    dstest::TempDir out;
    const std::vector<std::vector<std::string>> commands = {
        {"info"}, {"ls", "-l", "/vm1"}, {"tree", "/"}, {"deleted"}, {"formatted"}, {"vmdk"},
        {"export", "--hash", "/vm1/vm1.log", out.file("log")}};
    for (const std::vector<std::string>& cmd : commands) {
        SCOPED_TRACE(cmd.at(0));
        RunResult a = run_cli(with_disks({image_}, cmd));
        RunResult b = run_cli(with_disks({device_}, cmd));
        ASSERT_EQ(a.exit_code, 0) << a.err;
        EXPECT_EQ(b.exit_code, 0) << b.err;
        EXPECT_EQ(replace_all(a.out, image_, "DEV"), replace_all(b.out, device_, "DEV"));
    }
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    EXPECT_EQ(clitest::compare_file(out.file("log"), log.content, log.size), "");

    RunResult found = run_cli({"detect", device_});
    ASSERT_EQ(found.exit_code, 0) << found.err;
    EXPECT_NE(found.out.find(device_), std::string::npos) << found.out;

    RunResult folder = run_cli(with_disks({device_}, {"export", "-r", "/vm1", out.file("vm1")}));
    EXPECT_EQ(folder.exit_code, 0) << folder.err;
    EXPECT_EQ(clitest::compare_file(out.file("vm1/vm1.log"), log.content, log.size), "");

    // A block device is written to only on request, and the device being
    // read never.
    RunResult onto = run_cli(with_disks({device_}, {"export", "/vm1/vm1.vmx", device_}));
    EXPECT_EQ(onto.exit_code, 1);
    EXPECT_NE(onto.err.find("--to-device"), std::string::npos) << onto.err;
    onto = run_cli(with_disks({device_}, {"export", "--to-device", "/vm1/vm1.vmx", device_}));
    EXPECT_EQ(onto.exit_code, 1);
    EXPECT_NE(onto.err.find("refusing to replace"), std::string::npos) << onto.err;
}

} // namespace
} // namespace evtest
