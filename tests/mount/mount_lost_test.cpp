// mount --lost: the rebuilt lost disks as files at the root, each the bytes
// export vmdk:N writes, its holes reading as zeros and skipped by SEEK_DATA.
#include "mount_support.h"

#include "builder/lost_disks.h"
#include "builder/virtual_machine.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fsys = std::filesystem;
using mounttest::Mounted;
using mounttest::shell_quote;

// The SHA-256 sha256sum gives the file, or its error.
std::string sha256_of(const std::string& path, const std::string& scratch) {
    if (mounttest::shell("sha256sum " + shell_quote(path) + " > " + shell_quote(scratch)) != 0) return "sha256sum failed";
    return mounttest::read_text(scratch).substr(0, 64);
}

// The SHA-256 export --hash prints for what it wrote.
std::string exported_hash(const std::string& out) {
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 66 && line.find_first_not_of("0123456789abcdef") == 64 && line.substr(64, 2) == "  ")
            return line.substr(0, 64);
    return "no hash in: " + out;
}

TEST(MountLost, EveryRebuiltDiskIsAFileWithTheBytesItsExportWritesAndItsHoles) {
    const std::string why = mounttest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    if (!dsb::have_mkfs_ext4()) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed: no lost guests to rebuild";
    if (!mounttest::have_program("sha256sum")) GTEST_SKIP() << "sha256sum (coreutils) is not installed";
    dstest::TempDir dir;
    fsys::create_directories(dir.file("img"));
    const dsb::LostVmSummary sum = dsb::build_lost_vms(dir.file("img"));
    const std::string mnt = dir.file("mnt");
    fsys::create_directories(mnt);

    Mounted m(sum.images, mnt, {"--lost"});
    ASSERT_TRUE(m.ok()) << m.run().err;
    std::set<std::string> names;
    for (const auto& e : fsys::directory_iterator(mnt)) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"vmdk1.img", "vmdk2.img", "vmdk3.img"}));

    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        const std::string file = mnt + "/vmdk" + std::to_string(n) + ".img";
        const std::string out = dir.file("export" + std::to_string(n));
        clitest::RunResult r = clitest::run_cli(
            clitest::with_disks(sum.images, {"-q", "export", "--hash", "vmdk:" + std::to_string(n), out}));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), sum.disks[static_cast<size_t>(n - 1)].size);
        EXPECT_EQ(st.st_mode & 0777, 0444u);
        const std::string hash = sha256_of(file, dir.file("sum"));
        EXPECT_EQ(hash, exported_hash(r.out));
        EXPECT_EQ(hash, sha256_of(out, dir.file("sum")));
        fsys::remove(out);
    }

    // Disk 3's second pointer block names blocks of live files: a hole from
    // there to the end, read as zeros, with no data after it.
    const int64_t piece = static_cast<int64_t>(sum.piece_bytes);
    const int64_t size3 = static_cast<int64_t>(sum.disks[2].size);
    ASSERT_LT(piece, size3);
    int fd = ::open((mnt + "/vmdk3.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::lseek(fd, 0, SEEK_DATA), 0);
    EXPECT_EQ(::lseek(fd, 0, SEEK_HOLE), piece);
    errno = 0;
    EXPECT_EQ(::lseek(fd, piece, SEEK_DATA), -1);
    EXPECT_EQ(errno, ENXIO);
    std::vector<char> buf(1 << 20, 'x');
    ASSERT_EQ(::pread(fd, buf.data(), buf.size(), piece + 4096), static_cast<ssize_t>(buf.size()));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](char c) { return c == 0; }));
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_blocks * 512, piece);   // du counts the placed pointer block alone
    ::close(fd);

    // The thin disk: its first hole reads as zeros up to where SEEK_DATA
    // lands, and the bytes there are data again.
    fd = ::open((mnt + "/vmdk2.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    const off_t data = ::lseek(fd, hole, SEEK_DATA);
    ASSERT_GT(hole, 0);
    ASSERT_GT(data, hole);
    ASSERT_LT(data, static_cast<off_t>(sum.disks[1].size));
    std::vector<char> gap(static_cast<size_t>(data - hole), 'x');
    ASSERT_EQ(::pread(fd, gap.data(), gap.size(), hole), static_cast<ssize_t>(gap.size()));
    EXPECT_TRUE(std::all_of(gap.begin(), gap.end(), [](char c) { return c == 0; }));
    EXPECT_EQ(::lseek(fd, data, SEEK_HOLE) > data, true);
    ::close(fd);
    EXPECT_TRUE(m.unmount());
}

TEST(MountLost, RefusesToBeCombinedWithAnotherRoot) {
    dstest::TempDir dir;
    const dsb::DemoSummary& demo = clitest::demo();
    for (const char* other : {"--deleted", "--formatted"}) {
        clitest::RunResult r = clitest::run_cli(clitest::with_disks(demo.images, {"mount", "--lost", other, dir.path().string()}));
        EXPECT_EQ(r.exit_code, 2) << other << " " << r.err;
        EXPECT_FALSE(mounttest::is_mounted(dir.path().string()));
    }
}

} // namespace
