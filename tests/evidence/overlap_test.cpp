// An export never writes where a disk being read keeps its bytes, however
// the two are named: an image and a loop device over it, a second loop
// device at an offset into the image, a partition of a loop device. A block
// device is written to only with --to-device. Needs root and losetup; skips
// without them.

#include "evidence_support.h"

#include "disk/backing.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;
using clitest::RunResult;
using clitest::run_cli;
using clitest::with_disks;

class Overlap : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "attaching loop devices needs root";
        if (!have_program("losetup")) GTEST_SKIP() << "losetup (util-linux) is not installed";
        image_ = dir_.file("in.img");
        clitest::make_datastore(image_, [](dsb::Datastore& ds) { ds.add_file("/vm/vm.vmx", dsb::text_file("x=1\n")); });
        other_ = dir_.file("other.img");
        shell("truncate -s 4M '" + other_ + "'");
    }
    void TearDown() override {
        for (const std::string& d : devices_) shell("losetup -d '" + d + "'");
    }
    // A read-write loop device over file; empty (the test skipped) when none
    // can be attached here.
    std::string attach(const std::string& file, const std::string& how = "") {
        std::string out;
        const int rc = shell("losetup " + how + " -f --show '" + file + "'", &out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        if (rc != 0 || out.rfind("/dev/", 0) != 0) return "";
        devices_.push_back(out);
        return out;
    }
    std::vector<uint8_t> bytes(const std::string& path) { return dstest::read_file(path); }

    dstest::TempDir dir_;
    std::string image_, other_;
    std::vector<std::string> devices_;
};

TEST_F(Overlap, AnImageAndTheLoopDevicesOverItAreOneDisk) {
    const std::string whole = attach(image_);
    const std::string offset = attach(image_, "-o 1048576");
    if (whole.empty() || offset.empty()) GTEST_SKIP() << "no loop device can be attached here";
    const std::vector<uint8_t> before = bytes(image_);
    const std::string vmfs_at = "@0";   // the datastore's partition starts 1 MiB into the image

    struct Case {
        std::string disk;
        std::string dest;
    };
    const std::vector<Case> cases = {
        {whole, image_},                  // read through the device, written to the image
        {image_, whole},                  // read from the image, written to the device
        {image_, offset},                 // a device that starts inside the image
        {offset + vmfs_at, image_},       // read through that device, written to the image
        {offset + vmfs_at, whole},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk + " -> " + c.dest);
        RunResult r = run_cli({"-d", c.disk, "export", "--to-device", "/vm/vm.vmx", c.dest});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "file save error|result:-1\nrefusing to replace " + c.dest + ", a disk being read\n");
    }
    // A folder export into a directory is compared by where its files go:
    // not onto these disks here.
    RunResult folder = run_cli({"-d", whole, "export", "-r", "/vm", dir_.file("copy")});
    EXPECT_EQ(folder.exit_code, 0) << folder.err;
    EXPECT_EQ(bytes(image_), before);
}

// A loop device's size limit ends its range: a device over the image's first
// MiB (the boot record, before the datastore's partition) shares no byte
// with one that starts at the partition, and may be written while the other
// is read; one reaching a byte into the partition may not.
TEST_F(Overlap, ALoopDevicesSizeLimitEndsItsRange) {
    const std::string head = attach(image_, "--sizelimit 1048576");
    const std::string into = attach(image_, "--sizelimit 1049088");
    const std::string datastore = attach(image_, "-o 1048576");
    if (head.empty() || into.empty() || datastore.empty()) GTEST_SKIP() << "no loop device can be attached here";
    // An export writes from the destination's first byte on: what either
    // device could change lies in the image's first two MiB.
    auto start = [&] {
        std::vector<uint8_t> b(2 * 1048576);
        std::ifstream in(image_, std::ios::binary);
        in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return b;
    };
    const std::vector<uint8_t> before = start();

    RunResult over = run_cli({"-d", datastore + "@0", "export", "--to-device", "/vm/vm.vmx", into});
    EXPECT_EQ(over.exit_code, 1);
    EXPECT_EQ(over.err, "file save error|result:-1\nrefusing to replace " + into + ", a disk being read\n");
    EXPECT_EQ(start(), before);

    RunResult beside = run_cli({"-d", datastore + "@0", "export", "--to-device", "/vm/vm.vmx", head});
    EXPECT_EQ(beside.exit_code, 0) << beside.err;
    shell("blockdev --flushbufs '" + head + "'");
    const std::vector<uint8_t> now = start();
    EXPECT_EQ(std::string(now.begin(), now.begin() + 4), "x=1\n");
    EXPECT_TRUE(std::equal(now.begin() + 1048576, now.end(), before.begin() + 1048576));
}

TEST_F(Overlap, ABlockDeviceIsWrittenOnlyWhenAskedFor) {
    const std::string dev = attach(other_);
    if (dev.empty()) GTEST_SKIP() << "no loop device can be attached here";
    const std::vector<uint8_t> zeros = bytes(other_);
    RunResult r = run_cli(with_disks({image_}, {"export", "/vm/vm.vmx", dev}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "file save error|result:-1\nrefusing to write to the block device " + dev +
                         " (--to-device allows it)\n");
    EXPECT_EQ(bytes(other_), zeros);

    r = run_cli(with_disks({image_}, {"export", "--to-device", "/vm/vm.vmx", dev}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    shell("blockdev --flushbufs '" + dev + "'");
    const std::vector<uint8_t> now = bytes(other_);
    ASSERT_EQ(now.size(), zeros.size());
    EXPECT_EQ(std::string(now.begin(), now.begin() + 4), "x=1\n");

    // Opened exclusively: a device the system is using, mounted here, is
    // refused by the kernel even with --to-device.
    if (!have_program("mkfs.ext4") || shell("mkfs.ext4 -q -F '" + dev + "'") != 0) return;
    const std::string at = dir_.file("mnt");
    fs::create_directory(at);
    if (shell("mount '" + dev + "' '" + at + "'") != 0) return;   // mounting is not allowed here
    const std::vector<uint8_t> mounted = bytes(other_);
    r = run_cli(with_disks({image_}, {"export", "--to-device", "/vm/vm.vmx", dev}));
    shell("umount '" + at + "'");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "file save error|result:-1\ncannot create " + dev + " (Device or resource busy)\n");
    // Its first KiB, which the file system leaves alone, is where the
    // export would have begun.
    const std::vector<uint8_t> after = bytes(other_);
    ASSERT_EQ(after.size(), mounted.size());
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 1024, mounted.begin()));
}

// The device node of partition n of loop device dev: the one udev made, or
// one made here from sysfs where nothing makes them.
std::string partition_node(const std::string& dev, int n, const dstest::TempDir& dir) {
    const std::string node = dev + "p" + std::to_string(n);
    struct stat st {};
    if (::stat(node.c_str(), &st) == 0) return node;
    const std::string name = node.substr(node.rfind('/') + 1);
    std::string numbers;
    if (shell("cat /sys/class/block/" + name + "/dev", &numbers) != 0) return "";
    unsigned maj = 0, min = 0;
    if (std::sscanf(numbers.c_str(), "%u:%u", &maj, &min) != 2) return "";
    const std::string made = dir.file(name);
    return ::mknod(made.c_str(), S_IFBLK | 0600, makedev(maj, min)) == 0 ? made : "";
}

TEST_F(Overlap, APartitionIsARangeOfItsWholeDisk) {
    // Two partitions on a loop device: each meets the disk and its own range
    // of the backing file, not the other partition.
    const std::string disk = dir_.file("parted.img");
    std::vector<uint8_t> mbr(8 << 20, 0);
    auto entry = [&](int i, uint32_t start, uint32_t sectors) {
        uint8_t* e = mbr.data() + 446 + 16 * i;
        e[4] = 0x83;
        for (int k = 0; k < 4; ++k) {
            e[8 + k] = static_cast<uint8_t>(start >> (8 * k));
            e[12 + k] = static_cast<uint8_t>(sectors >> (8 * k));
        }
    };
    entry(0, 2048, 4096);
    entry(1, 6144, 4096);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    dstest::write_file(disk, mbr);
    const std::string dev = attach(disk, "-P");
    if (dev.empty()) GTEST_SKIP() << "no loop device can be attached here";
    const std::string n1 = partition_node(dev, 1, dir_), n2 = partition_node(dev, 2, dir_);
    if (n1.empty() || n2.empty()) GTEST_SKIP() << "the kernel made no partitions for " << dev;
    struct stat d {}, p1 {}, p2 {}, f {};
    ASSERT_EQ(::stat(dev.c_str(), &d), 0);
    ASSERT_EQ(::stat(n1.c_str(), &p1), 0);
    ASSERT_EQ(::stat(n2.c_str(), &p2), 0);
    ASSERT_EQ(::stat(disk.c_str(), &f), 0);
    const auto rd = ds::backing_ranges(d), r1 = ds::backing_ranges(p1), r2 = ds::backing_ranges(p2),
               rf = ds::backing_ranges(f);
    ASSERT_FALSE(r1.empty());
    EXPECT_EQ(r1[0].base, ds::ByteRange::Base::file);
    EXPECT_EQ(r1[0].begin, 2048 * 512);
    EXPECT_EQ(r1[0].end, 6144 * 512);
    EXPECT_TRUE(ds::ranges_overlap(r1, rd));
    EXPECT_TRUE(ds::ranges_overlap(r2, rf));
    EXPECT_FALSE(ds::ranges_overlap(r1, r2));
}

} // namespace
} // namespace evtest
