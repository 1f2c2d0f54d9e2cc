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
        clitest::make_datastore(image_, [](dsb::ImageBuilder& ds) { ds.add_file("/vm/vm.vmx", dsb::text_file("x=1\n")); });
        other_ = dir_.file("other.img");
        shell("truncate -s 4M '" + other_ + "'");
    }
    void TearDown() override {
        for (const std::string& m : mounts_) shell("umount '" + m + "'");
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

    // An ext4 file system made on dev and mounted at a new directory; empty
    // when this machine cannot make or mount one.
    std::string mount_new(const std::string& dev, const std::string& name) {
        if (!have_program("mkfs.ext4") || shell("mkfs.ext4 -q -F '" + dev + "'") != 0) return "";
        const std::string at = dir_.file(name);
        fs::create_directory(at);
        if (shell("mount '" + dev + "' '" + at + "'") != 0) return "";
        mounts_.push_back(at);
        return at;
    }

    dstest::TempDir dir_;
    std::string image_, other_;
    std::vector<std::string> devices_, mounts_;
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

// A loop device knows its backing file by device and inode, not by the name
// it was attached under: a name with a newline in it, or a name removed while
// a hard link to the file remains, still leads to the file.
TEST_F(Overlap, ALoopDevicesBackingFileIsKnownWhateverItsName) {
    const std::string odd = dir_.file("ev\n.img");
    const std::string a = dir_.file("a.img"), b = dir_.file("b.img");
    for (const std::string& copy : {odd, a})
        clitest::make_datastore(copy, [](dsb::ImageBuilder& ds) { ds.add_file("/vm/vm.vmx", dsb::text_file("x=1\n")); });
    fs::create_hard_link(a, b);
    const std::string odd_dev = attach(odd, "-r");
    const std::string ro = attach(a, "-r");
    const std::string rw = attach(a);
    if (odd_dev.empty() || ro.empty() || rw.empty()) GTEST_SKIP() << "no loop device can be attached here";
    fs::remove(a);
    // An export writes from the first byte on and cuts a file to its own
    // length: the size and the first MiB show any write.
    auto head = [](const std::string& path) {
        std::vector<uint8_t> b(1048576);
        std::ifstream in(path, std::ios::binary);
        in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
        b.resize(static_cast<size_t>(in.gcount()));
        return std::make_pair(fs::file_size(path), b);
    };
    const auto before = head(b);
    ASSERT_EQ(head(odd), before);

    struct Case {
        std::vector<std::string> args;
        std::string dest;
    };
    const std::vector<Case> cases = {
        {{"-d", odd_dev, "export", "/vm/vm.vmx", odd}, odd},
        {{"-d", ro, "export", "/vm/vm.vmx", b}, b},                    // the name attached is gone
        {{"-d", b, "export", "--to-device", "/vm/vm.vmx", rw}, b},     // and the device is the destination
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        RunResult r = run_cli(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(", a disk being read\n"), std::string::npos) << r.err;
        EXPECT_TRUE(head(c.dest) == before);
    }
}

// An export into a file system mounted from a loop device over part of an
// input image goes onto that image; one over a part the datastore being read
// does not reach is a place like any other.
TEST_F(Overlap, AFileSystemOnPartOfAnInputImage) {
    const int64_t old_size = static_cast<int64_t>(fs::file_size(image_));
    fs::resize_file(image_, static_cast<uintmax_t>(old_size + (16 << 20)));
    const std::string tail = attach(image_, "-o " + std::to_string(old_size));
    const std::string part = attach(image_, "-o 1048576 --sizelimit " + std::to_string(old_size - 1048576));
    const std::string to_end = attach(image_, "-o 1048576");
    if (tail.empty() || part.empty() || to_end.empty()) GTEST_SKIP() << "no loop device can be attached here";
    const std::string at = mount_new(tail, "mnt");
    if (at.empty()) GTEST_SKIP() << "no ext4 file system can be made and mounted here";

    // The whole image, and a device whose range runs on into the file
    // system, share its bytes.
    for (const std::string& disk : {image_, to_end + "@0"}) {
        SCOPED_TRACE(disk);
        const std::string dest = at + "/vm.vmx";
        RunResult r = run_cli({"-d", disk, "export", "/vm/vm.vmx", dest});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "file save error|result:-1\nrefusing to replace " + dest + ", a disk being read\n");
        RunResult folder = run_cli({"-d", disk, "export", "-r", "/vm", at + "/copy"});
        EXPECT_EQ(folder.exit_code, 1);
        EXPECT_NE(folder.err.find("a disk being read"), std::string::npos) << folder.err;
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_FALSE(fs::exists(at + "/copy/vm.vmx"));
    }

    // The datastore's part alone ends where the file system begins.
    RunResult ok = run_cli({"-d", part + "@0", "export", "/vm/vm.vmx", at + "/vm.vmx"});
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_EQ(bytes(at + "/vm.vmx"), std::vector<uint8_t>({'x', '=', '1', '\n'}));
    RunResult folder = run_cli({"-d", part + "@0", "export", "-r", "/vm", at + "/copy"});
    EXPECT_EQ(folder.exit_code, 0) << folder.err;
    EXPECT_EQ(bytes(at + "/copy/vm.vmx"), std::vector<uint8_t>({'x', '=', '1', '\n'}));
}

// A loop device that cannot be asked what backs it (its node is nowhere to
// be found: here /dev is hidden) is not assumed to back nothing: an export
// into the file system on it is refused.
TEST_F(Overlap, ALoopDeviceThatCannotBeAskedIsNotAssumedApart) {
    if (!have_program("unshare")) GTEST_SKIP() << "unshare (util-linux) is not installed";
    const std::string dev = attach(other_);
    if (dev.empty()) GTEST_SKIP() << "no loop device can be attached here";
    const std::string at = mount_new(dev, "mnt");
    if (at.empty()) GTEST_SKIP() << "no ext4 file system can be made and mounted here";
    if (shell("unshare -m sh -c 'mount -t tmpfs none /dev'") != 0) GTEST_SKIP() << "no mount namespace can be made here";

    RunResult seen = run_cli({"-d", image_, "export", "/vm/vm.vmx", at + "/seen.vmx"});
    EXPECT_EQ(seen.exit_code, 0) << seen.err;
    std::string err;
    const int rc = shell("unshare -m sh -c 'mount -t tmpfs none /dev && exec \"$0\" -d \"$1\" export /vm/vm.vmx \"$2\"' '" +
                             std::string(DATUMSIFT_BIN) + "' '" + image_ + "' '" + at + "/unseen.vmx' 2>&1",
                         &err);
    EXPECT_NE(rc, 0);
    EXPECT_NE(err.find("refusing to replace " + at + "/unseen.vmx, a disk being read"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(at + "/unseen.vmx"));
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
