// The mount seen by the host's own programs: every file reads as its export
// writes it, a copy of the mount is the folder export, a virtual machine's
// disk opens with qemu-img and its ext4 partition through a loop device,
// nothing can be written, and the images stay as they were.
#include "mount_support.h"

#include "builder/virtual_machine.h"
#include "mount/mount_fs.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <iostream>
#include <map>
#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fsys = std::filesystem;
using mounttest::Mounted;
using mounttest::shell_quote;
using mounttest::shell;

const dsb::VmSummary& vm() {
    static const dsb::VmSummary s = dsb::build_vm(clitest::image_dir().path().string());
    return s;
}

class MountTest : public ::testing::Test {
protected:
    dstest::TempDir dir;
    std::string mnt = dir.file("mnt");

    void SetUp() override {
        const std::string why = mounttest::fuse_missing();
        if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    }
    void need_vm() {
        if (!dsb::have_mkfs_ext4()) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed";
    }
    clitest::RunResult cli(const dsb::ImageSummary& s, std::vector<std::string> rest) {
        rest.insert(rest.begin(), "-q");
        return clitest::run_cli(clitest::with_disks(s.images, rest));
    }
};

TEST_F(MountTest, EveryFileReadsAsItsExportAndACopyOfTheMountIsTheFolderExport) {
    need_vm();
    Mounted m(vm().images, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    EXPECT_EQ(clitest::compare_file(mnt + "/vm1/vm1-flat.vmdk", vm().flat.content, vm().flat.size), "");

    // Each file against an export of its own.
    int files = 0;
    for (const auto& [rel, bytes] : mounttest::read_tree(mnt)) {
        if (bytes == "dir" && fsys::is_directory(mnt + "/" + rel)) continue;
        const std::string out = dir.file("one");
        clitest::RunResult r = cli(vm(), {"export", "/" + rel, out});
        ASSERT_EQ(r.exit_code, 0) << rel << ": " << r.err;
        EXPECT_TRUE(bytes == mounttest::read_text(out)) << rel;
        ++files;
    }
    EXPECT_EQ(files, 7);   // four system files and the three of the machine

    ASSERT_EQ(shell("cp -a " + shell_quote(mnt) + " " + shell_quote(dir.file("copy"))), 0);
    clitest::RunResult r = cli(vm(), {"export", "-r", "/", dir.file("export")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(mounttest::compare_trees(mounttest::read_tree(dir.file("export")), mounttest::read_tree(dir.file("copy"))),
              "");
}

TEST_F(MountTest, AttributesComeFromTheDescriptors) {
    need_vm();
    Mounted m(vm().images, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    for (const dsb::ObjectExpect& o : vm().objects) {
        struct stat st {};
        ASSERT_EQ(::stat((mnt + o.path).c_str(), &st), 0) << o.path;
        const bool is_dir = o.type == 2;
        EXPECT_EQ(st.st_ino, o.id) << o.path;
        EXPECT_EQ(st.st_mode, is_dir ? (S_IFDIR | 0555u) : (S_IFREG | 0444u)) << o.path;
        EXPECT_EQ(st.st_uid, ::getuid());
        EXPECT_EQ(st.st_gid, ::getgid());
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), o.size) << o.path;
        EXPECT_EQ(st.st_mtim.tv_sec, static_cast<time_t>(o.update_time)) << o.path;
        EXPECT_EQ(st.st_atim.tv_sec, static_cast<time_t>(o.atime)) << o.path;
        EXPECT_EQ(st.st_ctim.tv_sec, static_cast<time_t>(o.create_time)) << o.path;
    }
    // Read-only for the kernel too, and reads of 1 MiB at once.
    const std::string options = mounttest::mount_options(mnt);
    EXPECT_EQ(options.rfind("ro,", 0), 0u) << options;
    EXPECT_NE(options.find("max_read=1048576"), std::string::npos) << options;
    // The thin disk says how little of it is stored.
    int64_t stored = 0;
    for (uint32_t id : vm().flat.data_ids) stored += id != 0 ? static_cast<int64_t>(vm().block_size) : 0;
    struct stat st {};
    ASSERT_EQ(::stat((mnt + "/vm1/vm1-flat.vmdk").c_str(), &st), 0);
    EXPECT_EQ(st.st_blocks * 512, stored);
}

// What a listing says an entry's inode is, what stat says and the
// descriptor id agree for every entry of every directory, "." and ".."
// included (the mount's own ".." leads out of it).
TEST_F(MountTest, EveryListedInodeNumberIsTheEntrysStatAndItsDescriptorId) {
    const std::string image = dir.file("ino.img");
    std::map<std::string, uint32_t> ids;
    clitest::make_datastore(image, [&](dsb::ImageBuilder& ds) {
        ids["/"] = ds.root();
        for (dsb::SysFile f : {dsb::SysFile::Fbb, dsb::SysFile::Fdc, dsb::SysFile::Pbc, dsb::SysFile::Sbc})
            ids[std::string("/") + dsb::sysfile_name(f)] = ds.system_file(f);
        for (const char* p : {"/a/b/c.txt", "/a/d.txt", "/f.txt"}) ids[p] = ds.add_file(p, dsb::text_file(p));
        for (const char* p : {"/a", "/a/b", "/e"}) ids[p] = ds.mkdir(p);
        // A second name of one descriptor is the same inode.
        ds.add_dirent(ids["/e"], dsb::layout::kTypeRegular, ids["/f.txt"], "again");
        ids["/e/again"] = ids["/f.txt"];
    });
    Mounted m({image}, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    std::vector<std::string> dirs = {""};
    int checked = 0;
    while (!dirs.empty()) {
        const std::string rel = dirs.back();
        dirs.pop_back();
        DIR* d = ::opendir((mnt + rel).c_str());
        ASSERT_NE(d, nullptr) << rel;
        errno = 0;
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (rel.empty() && name == "..") continue;
            const std::string path = rel + "/" + name;
            struct stat st {};
            ASSERT_EQ(::lstat((mnt + path).c_str(), &st), 0) << path;
            EXPECT_EQ(e->d_ino, st.st_ino) << path;
            const std::string object = name == "." ? (rel.empty() ? "/" : rel)
                                       : name == ".." ? (rel.rfind('/') == 0 ? "/" : rel.substr(0, rel.rfind('/')))
                                                      : path;
            ASSERT_EQ(ids.count(object), 1u) << object;
            EXPECT_EQ(e->d_ino, ids[object]) << path;
            ++checked;
            if (name != "." && name != ".." && S_ISDIR(st.st_mode)) dirs.push_back(path);
        }
        EXPECT_EQ(errno, 0) << rel;
        ::closedir(d);
    }
    EXPECT_EQ(checked, 18);   // the root's ".", then "." and ".." of three directories, and 11 names
}

TEST_F(MountTest, HolesOfAThinDiskAreFoundWithSeekDataAndSeekHole) {
    need_vm();
    Mounted m(vm().images, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    const int fd = ::open((mnt + "/vm1/vm1-flat.vmdk").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto& ids = vm().flat.data_ids;
    const int64_t bs = static_cast<int64_t>(vm().block_size), size = static_cast<int64_t>(vm().flat.size);
    ASSERT_EQ(static_cast<int64_t>(ids.size()) * bs, size);
    ASSERT_GT(std::count(ids.begin(), ids.end(), 0u), 0);
    // From the start and from inside every block, against the block list.
    for (int64_t b = 0; b < static_cast<int64_t>(ids.size()); ++b) {
        for (int64_t from : {b * bs, b * bs + 12345}) {
            int64_t data = -1, hole = size;
            for (int64_t k = b; k < static_cast<int64_t>(ids.size()); ++k) {
                const int64_t at = k == b ? from : k * bs;
                if (ids[k] != 0 && data < 0) data = at;
                if (ids[k] == 0 && hole == size) hole = at;
            }
            errno = 0;
            EXPECT_EQ(::lseek(fd, from, SEEK_DATA), data < 0 ? -1 : data) << from;
            if (data < 0) {
                EXPECT_EQ(errno, ENXIO);
            }
            EXPECT_EQ(::lseek(fd, from, SEEK_HOLE), hole) << from;
        }
    }
    errno = 0;
    EXPECT_EQ(::lseek(fd, size, SEEK_HOLE), -1);
    EXPECT_EQ(errno, ENXIO);
    ::close(fd);
    // A copy that skips the holes has the same bytes.
    ASSERT_EQ(shell("cp --sparse=always " + shell_quote(mnt + "/vm1/vm1-flat.vmdk") + " " + shell_quote(dir.file("sparse"))), 0);
    EXPECT_EQ(clitest::compare_file(dir.file("sparse"), vm().flat.content, vm().flat.size), "");
}

TEST_F(MountTest, EveryWriteFailsWithErofsAndTheImageStaysAsItWas) {
    need_vm();
    const std::string image = vm().images.at(0);
    std::string before, after;
    ASSERT_EQ(shell("sha256sum " + shell_quote(image), &before), 0);
    struct stat img0 {};
    ASSERT_EQ(::stat(image.c_str(), &img0), 0);
    {
        Mounted m(vm().images, mnt);
        ASSERT_TRUE(m.ok()) << m.run().err;
        const std::string file = mnt + "/vm1/vm1.vmx", dir1 = mnt + "/vm1";
        auto expect_erofs = [](int rc, const char* what) {
            const int e = errno;
            EXPECT_EQ(rc, -1) << what;
            EXPECT_EQ(e, EROFS) << what << ": " << std::strerror(e);
        };
        errno = 0;
        expect_erofs(::open(file.c_str(), O_WRONLY), "open for writing");
        expect_erofs(::open(file.c_str(), O_RDWR), "open for reading and writing");
        expect_erofs(::open((dir1 + "/new").c_str(), O_WRONLY | O_CREAT, 0644), "create");
        expect_erofs(::truncate(file.c_str(), 0), "truncate");
        expect_erofs(::chmod(file.c_str(), 0666), "chmod");
        expect_erofs(::chown(file.c_str(), 1, 1), "chown");
        expect_erofs(::utimensat(AT_FDCWD, file.c_str(), nullptr, 0), "utimensat");
        expect_erofs(::rename(file.c_str(), (dir1 + "/renamed").c_str()), "rename");
        expect_erofs(::unlink(file.c_str()), "unlink");
        expect_erofs(::mkdir((dir1 + "/sub").c_str(), 0755), "mkdir");
        expect_erofs(::rmdir(dir1.c_str()), "rmdir");
        expect_erofs(::symlink("x", (dir1 + "/link").c_str()), "symlink");
        expect_erofs(::link(file.c_str(), (dir1 + "/hard").c_str()), "link");
        expect_erofs(::setxattr(file.c_str(), "user.x", "1", 1, 0), "setxattr");
        // What was refused left nothing behind.
        const std::vector<uint8_t> vmx = dsb::materialize(vm().config.content, 0, vm().config.size);
        EXPECT_EQ(mounttest::read_text(file), std::string(vmx.begin(), vmx.end()));
        EXPECT_TRUE(m.unmount());
    }
    ASSERT_EQ(shell("sha256sum " + shell_quote(image), &after), 0);
    EXPECT_EQ(before, after);
    struct stat img1 {};
    ASSERT_EQ(::stat(image.c_str(), &img1), 0);
    EXPECT_EQ(img0.st_mtim.tv_sec, img1.st_mtim.tv_sec);
    EXPECT_EQ(img0.st_mtim.tv_nsec, img1.st_mtim.tv_nsec);
}

TEST_F(MountTest, QemuImgReadsTheVirtualDiskThroughTheMount) {
    need_vm();
    if (!mounttest::have_program("qemu-img")) GTEST_SKIP() << "qemu-img (qemu-utils) is not installed";
    Mounted m(vm().images, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    std::string out;
    ASSERT_EQ(shell("qemu-img info --output=json " + shell_quote(mnt + "/vm1/vm1.vmdk") + " 2>/dev/null", &out), 0) << out;
    const nlohmann::json info = nlohmann::json::parse(out);
    EXPECT_EQ(info.at("format"), "vmdk");
    EXPECT_EQ(info.at("virtual-size").get<uint64_t>(), vm().flat.size);
    ASSERT_EQ(shell("qemu-img convert -O raw " + shell_quote(mnt + "/vm1/vm1.vmdk") + " " + shell_quote(dir.file("disk.raw")), &out),
              0) << out;
    EXPECT_EQ(clitest::compare_file(dir.file("disk.raw"), vm().flat.content, vm().flat.size), "");
}

// The headline: one file out of a virtual machine's disk, without a copy of the disk.
TEST_F(MountTest, ALoopDeviceOverTheMountedFlatFileMountsItsExt4Partition) {
    need_vm();
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices and the ext4 mount need root";
    if (!mounttest::have_program("losetup")) GTEST_SKIP() << "losetup (util-linux) is not installed";
    Mounted m(vm().images, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    const std::string flat = mnt + "/vm1/vm1-flat.vmdk";
    std::string dev;
    ASSERT_EQ(shell("losetup -r -P -f --show " + shell_quote(flat), &dev), 0) << dev;
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    std::string part = dev + "p1";
    for (int i = 0; i < 40 && ::access(part.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (::access(part.c_str(), F_OK) != 0) {
        // Without udev (a container) no partition node appears: the
        // partition is then a loop device of its own over the same file.
        shell("losetup -d " + shell_quote(dev));
        std::cout << "note: " << part << " did not appear; the partition is read through losetup -o instead\n";
        ASSERT_EQ(shell("losetup -r -f --show -o " + std::to_string(vm().partition_offset) + " --sizelimit " +
                            std::to_string(vm().partition_size) + " " + shell_quote(flat),
                        &dev),
                  0) << dev;
        while (!dev.empty() && dev.back() == '\n') dev.pop_back();
        part = dev;
    }
    const std::string guest = dir.file("guest");
    fsys::create_directories(guest);
    std::string out;
    const int rc = shell("mount -o ro " + shell_quote(part) + " " + shell_quote(guest), &out);
    if (rc != 0) {
        shell("losetup -d " + shell_quote(dev));
        GTEST_SKIP() << "this machine does not allow mounting ext4 here: " << out;
    }
    for (const dsb::GuestFile& f : vm().guest_files)
        EXPECT_TRUE(mounttest::read_text(guest + "/" + f.path) == std::string(f.bytes.begin(), f.bytes.end())) << f.path;
    EXPECT_EQ(shell("umount " + shell_quote(guest)), 0);
    EXPECT_EQ(shell("losetup -d " + shell_quote(dev)), 0);
}

TEST_F(MountTest, InTheForegroundSigtermAndSigintEndTheMountCleanly) {
    const dsb::DemoSummary& demo = clitest::demo();
    for (int sig : {SIGTERM, SIGINT}) {
        std::filesystem::create_directories(mnt);
        std::thread stopper;
        clitest::RunOptions ro;
        ro.timeout_seconds = 30;
        ro.on_start = [&](pid_t pid) {
            stopper = std::thread([this, pid, sig] {
                if (mounttest::wait_mounted(mnt, true)) ::kill(pid, sig);
            });
        };
        clitest::RunResult r = clitest::run_cli(clitest::with_disks(demo.images, {"-q", "mount", "-f", mnt}), ro);
        stopper.join();
        EXPECT_EQ(r.exit_code, 0) << "signal " << sig << ": " << r.err;
        EXPECT_FALSE(mounttest::is_mounted(mnt)) << "signal " << sig;
    }
}

TEST_F(MountTest, FoundDirectoriesMountAsTheirFolderExport) {
    const dsb::FormattedSummary& f = clitest::formatted();
    Mounted m(f.images, mnt, {"--formatted"});
    ASSERT_TRUE(m.ok()) << m.run().err;
    std::vector<std::string> names;
    for (const auto& e : fsys::directory_iterator(mnt)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> want;
    for (const dsb::FoundDir& d : f.found) want.push_back("DIR" + std::to_string(d.number));
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);

    ASSERT_EQ(shell("cp -a " + shell_quote(mnt) + " " + shell_quote(dir.file("copy"))), 0);
    clitest::RunResult r = cli(f, {"export", "-r", "--formatted", "", dir.file("export")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(mounttest::compare_trees(mounttest::read_tree(dir.file("export")), mounttest::read_tree(dir.file("copy"))),
              "");
    // The file reached only through the substituted first block.
    const dsb::ObjectExpect& reused = f.file_in_reused;
    bool seen = false;
    for (const auto& [rel, bytes] : mounttest::read_tree(mnt))
        if (rel.size() > 16 && rel.substr(rel.size() - 16) == "vm-old-flat.vmdk") {
            seen = true;
            EXPECT_EQ(clitest::compare_file(mnt + "/" + rel, reused.content, reused.size), "");
        }
    EXPECT_TRUE(seen);
}

TEST_F(MountTest, DeletedFilesMountAsTheBytesTheirExportWrites) {
    const dsb::DemoSummary& demo = clitest::demo();
    clitest::RunResult rows = cli(demo, {"deleted", "-l"});
    ASSERT_EQ(rows.exit_code, 0) << rows.err;
    std::vector<std::pair<std::string, std::string>> want;   // name, id
    for (const std::string& line : rows.out_lines()) {
        std::istringstream in(line);
        std::string sn, id;
        if (std::getline(in, sn, '\t') && std::getline(in, id, '\t')) want.emplace_back(sn + "-" + id, id);
    }
    ASSERT_FALSE(want.empty());

    Mounted m(demo.images, mnt, {"--deleted"});
    ASSERT_TRUE(m.ok()) << m.run().err;
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fsys::directory_iterator(mnt)) ++entries;
    EXPECT_EQ(entries, want.size());
    for (const auto& [name, id] : want) {
        const std::string out = dir.file("one");
        clitest::RunResult r = cli(demo, {"export", "#" + id, out});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(mounttest::read_text(mnt + "/" + name) == mounttest::read_text(out)) << name;
    }
    EXPECT_EQ(clitest::compare_file(mnt + "/" + want.front().first, demo.deleted_file.content, demo.deleted_file.size),
              "");
}

TEST(MountNames, AreTheFolderExportsHostNamesWithRepeatsNumbered) {
    auto entry = [](std::string raw) { return dsmount::SourceEntry{std::move(raw), {}, false}; };
    const std::vector<std::string> names = dsmount::entry_host_names(
        {entry("a.txt"), entry("a/b"), entry("."), entry(""), entry("a.txt"), entry("a.txt"), entry("50%"),
         entry(std::string("bad\xff", 4)), entry(std::string(300, 'x') + ".vmdk")});
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names[0], "a.txt");
    EXPECT_EQ(names[1], "a%2Fb");
    EXPECT_EQ(names[2], "%2E");
    EXPECT_EQ(names[3], "%");
    EXPECT_EQ(names[4], "a.txt~2");
    EXPECT_EQ(names[5], "a.txt~3");
    EXPECT_EQ(names[6], "50%25");
    EXPECT_EQ(names[7], "bad%FF");
    EXPECT_LE(names[8].size(), 255u);
    EXPECT_EQ(names[8].substr(names[8].size() - 5), ".vmdk");

    // A name that looks numbered is passed over; one name repeated through
    // a whole directory is numbered in one pass (a planted directory of
    // 100,000 equal names would otherwise take minutes).
    EXPECT_EQ(dsmount::entry_host_names({entry("a"), entry("a~3"), entry("a"), entry("a"), entry("a~2"), entry("a")}),
              (std::vector<std::string>{"a", "a~3", "a~2", "a~4", "a~2~2", "a~5"}));
    std::vector<dsmount::SourceEntry> same(100000, entry("same"));
    const std::vector<std::string> numbered = dsmount::entry_host_names(same);
    ASSERT_EQ(numbered.size(), same.size());
    EXPECT_EQ(numbered[1], "same~2");
    EXPECT_EQ(numbered.back(), "same~100000");
}

} // namespace

namespace {

// Damage the mount must report rather than hide: a descriptor that gives a
// negative size, and a directory whose listing a missing block ends early.
TEST_F(MountTest, DamageIsAnErrorToTheReaderNeverAnEmptyOrShortAnswer) {
    const std::string image = dir.file("damaged.img");
    uint32_t neg = 0, cut = 0;
    clitest::make_datastore(
        image,
        [&](dsb::ImageBuilder& ds) {
            neg = ds.add_file("/neg.bin", dsb::generated_file(3 << 20, dsb::pattern_content(3), dsb::Storage::FileBlocks));
            cut = ds.mkdir("/cut", dsb::Storage::FileBlocks);
            for (int i = 0; i < 5; ++i) ds.add_file("/cut/f" + std::to_string(i), dsb::text_file("file " + std::to_string(i)));
        },
        [&](dsb::ImageBuilder& ds) {
            dsb::DescriptorFields f;
            f.id = neg;
            f.size = -5;
            f.block_size = static_cast<int64_t>(dsb::layout::kMiB);
            f.block_count = 3;
            for (size_t i = 0; i < 3; ++i) f.blocks[i] = ds.info(neg).data_ids.at(i);
            ds.write_descriptor(neg, f);
            dsb::DescriptorFields d;
            d.id = cut;
            d.type = dsb::layout::kTypeDirectory;
            d.size = static_cast<int64_t>(2 * dsb::layout::kMiB);   // a second block the list does not have
            d.block_size = static_cast<int64_t>(dsb::layout::kMiB);
            d.block_count = 1;
            d.blocks[0] = ds.info(cut).data_ids.at(0);
            ds.write_descriptor(cut, d);
        });
    Mounted m({image}, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;

    // Listed, but its bytes are not served as a file of nothing.
    struct stat st {};
    ASSERT_EQ(::stat((mnt + "/neg.bin").c_str(), &st), 0);
    errno = 0;
    EXPECT_EQ(::open((mnt + "/neg.bin").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EIO);

    // The entries before the damage, then the error.
    DIR* d = ::opendir((mnt + "/cut").c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d)) names.push_back(e->d_name);
    const int end_errno = errno;
    ::closedir(d);
    EXPECT_EQ(end_errno, EIO);
    EXPECT_EQ(names.size(), 7u);   // ".", ".." and the five files
    EXPECT_EQ(mounttest::read_text(mnt + "/cut/f4"), "file 4");
}

} // namespace
