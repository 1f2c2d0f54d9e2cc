// A read the datastore cannot answer reaches the program reading the mount
// as EIO, and only there: the bytes around it still read, and nothing is
// ever made up for what could not be read.
#include "mount_support.h"

#include "disk/sector_source.h"
#include "mount/mount_fs.h"
#include "mount/mount_source.h"
#include "support/open_images.h"
#include "vmfs/datastore.h"

#include <cerrno>
#include <fcntl.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

// The image itself, except that reads touching one of the ranges (image
// offset, length) fail as a bad sector would.
class FailingRange final : public ds::SectorSource {
public:
    std::vector<std::pair<int64_t, int64_t>> fail;
    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        for (const auto& [from, length] : fail)
            if (off < from + length && off + len > from) return false;
        return posix->read(device, off, len, buf);
    }
    int64_t size(const std::string& device) override { return posix->size(device); }
    void close_all() override { posix->close_all(); }
    std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
};

class MountReadError : public ::testing::Test {
protected:
    // Opens the built image through the failing source and serves it at mnt.
    void serve(const dsb::DatastoreOptions& o) {
        dsb::ImageSummary s;
        s.images = {o.path};
        s.start_sectors = {o.start_sector};
        ASSERT_EQ(dstest::open_images(store, s).message, "");
        source = std::make_unique<dsmount::MountSource>(store);
        dsmount::MountRoot root;
        root.directory = source->root();
        server = std::make_unique<dsmount::MountServer>(*source, root);
        std::filesystem::create_directories(mnt);
        ASSERT_EQ(server->mount(mnt), "");
        serving = std::thread([this] { server->serve(false); });
    }
    void unmount() {
        if (!serving.joinable()) return;
        mounttest::shell("fusermount3 -u " + mounttest::shell_quote(mnt));
        serving.join();
    }
    void TearDown() override { unmount(); }

    dstest::TempDir dir;
    FailingRange mem;
    ds::Datastore store{mem};
    const std::string mnt = dir.file("mnt");
    std::unique_ptr<dsmount::MountSource> source;
    std::unique_ptr<dsmount::MountServer> server;
    std::thread serving;
};

TEST_F(MountReadError, AFailedReadInsideTheDatastoreIsEioToTheReader) {
    const std::string why = mounttest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    constexpr uint64_t kMiB = 1 << 20;
    dsb::DatastoreOptions o;
    o.path = dir.file("fail.img");
    dsb::ImageBuilder ds(o);
    const uint32_t id = ds.add_file("/vm/disk-flat.vmdk", dsb::generated_file(3 * kMiB, dsb::pattern_content(7),
                                                                              dsb::Storage::FileBlocks));
    ds.finish();
    const dsb::ObjectExpect file = dsb::expect(ds, id);

    // Reads that touch the file's second block fail.
    const auto image_at = [&](uint64_t lv) { return static_cast<int64_t>(ds.volume().locate(lv).image_offset); };
    const int64_t bad = image_at(ds.item_lv_offset(file.data_ids.at(1)));
    mem.fail = {{bad, 4096}};
    serve(o);
    if (HasFatalFailure()) return;

    const int fd = ::open((mnt + "/vm/disk-flat.vmdk").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        std::vector<uint8_t> buf(kMiB);
        const std::vector<uint8_t> want = dsb::materialize(file.content, 0, 3 * kMiB);
        // The first block is whole and right.
        EXPECT_EQ(::pread(fd, buf.data(), kMiB, 0), static_cast<ssize_t>(kMiB));
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), want.begin()));
        // The second is an error, never zeros; the third reads.
        errno = 0;
        EXPECT_EQ(::pread(fd, buf.data(), 4096, static_cast<off_t>(kMiB)), -1);
        EXPECT_EQ(errno, EIO);
        // A read that runs into it gets the bytes before it; the next one
        // the error.
        EXPECT_EQ(::pread(fd, buf.data(), kMiB, static_cast<off_t>(kMiB) - 100), 100);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, want.begin() + static_cast<long>(kMiB) - 100));
        EXPECT_EQ(::pread(fd, buf.data(), kMiB, static_cast<off_t>(2 * kMiB)), static_cast<ssize_t>(kMiB));
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), want.begin() + 2 * kMiB));
        ::close(fd);
    }
    // A copy of the whole file fails instead of holding zeros.
    std::string out;
    EXPECT_NE(mounttest::shell("{ cat " + mounttest::shell_quote(mnt + "/vm/disk-flat.vmdk") + " > /dev/null; }", &out), 0);
    EXPECT_NE(out.find("Input/output error"), std::string::npos) << out;

    unmount();
    EXPECT_FALSE(mounttest::is_mounted(mnt));
}

// The kernel asks for a large read in several requests: one that ends at
// a bad sector, or starts on one, still ends the reader's read exactly there,
// wherever the sector lies in the request.
TEST_F(MountReadError, ALargeReadEndsAtTheBadSectorWhicheverRequestMeetsIt) {
    const std::string why = mounttest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    constexpr int64_t kMiB = 1 << 20, kHalf = kMiB / 2;
    dsb::DatastoreOptions o;
    o.path = dir.file("split.img");
    dsb::ImageBuilder ds(o);
    const uint32_t id = ds.add_file("/disk.bin", dsb::generated_file(3 * kMiB, dsb::pattern_content(9),
                                                                     dsb::Storage::FileBlocks));
    ds.finish();
    const dsb::ObjectExpect file = dsb::expect(ds, id);
    const auto image_at = [&](int64_t file_off) {
        const uint64_t lv = ds.item_lv_offset(file.data_ids.at(static_cast<size_t>(file_off / kMiB)));
        return static_cast<int64_t>(ds.volume().locate(lv).image_offset) + file_off % kMiB;
    };
    // One sector where the second request of an aligned 1 MiB read starts,
    // one a sector into it, one inside the first page of a request.
    const int64_t at_split = kHalf, past_split = kMiB + kHalf + 512, in_page = 2 * kMiB + 1024;
    for (int64_t bad : {at_split, past_split, in_page}) mem.fail.emplace_back(image_at(bad), 512);
    serve(o);
    if (HasFatalFailure()) return;

    const std::vector<uint8_t> want = dsb::materialize(file.content, 0, 3 * kMiB);
    const int fd = ::open((mnt + "/disk.bin").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    // Page-aligned, so that the kernel's requests split where the table says.
    std::unique_ptr<uint8_t, decltype(&std::free)> buf(static_cast<uint8_t*>(std::aligned_alloc(4096, kMiB)),
                                                       &std::free);
    struct Case {
        int64_t off, length, got;   // got -1: EIO
    };
    for (const Case& c : {Case{0, kMiB, at_split}, Case{at_split, 4096, -1}, Case{at_split + 511, 1, -1},
                          Case{at_split + 512, kMiB - at_split - 512, kMiB - at_split - 512},
                          Case{kMiB, kMiB, past_split - kMiB}, Case{past_split, 512, -1},
                          // Through the end of a block into the next one's bad sector.
                          Case{past_split + 512, kMiB, in_page - past_split - 512}, Case{2 * kMiB, kMiB, 1024},
                          Case{in_page, kMiB, -1}, Case{in_page + 512, kMiB, kMiB - 1536}}) {
        if (fd < 0) break;
        SCOPED_TRACE("read of " + std::to_string(c.length) + " at " + std::to_string(c.off));
        errno = 0;
        const ssize_t n = ::pread(fd, buf.get(), static_cast<size_t>(c.length), static_cast<off_t>(c.off));
        EXPECT_EQ(n, c.got);
        if (c.got < 0) {
            EXPECT_EQ(errno, EIO);
        } else if (n == c.got) {
            EXPECT_TRUE(std::equal(buf.get(), buf.get() + n, want.begin() + c.off));
        }
    }
    if (fd >= 0) ::close(fd);
    unmount();
}

} // namespace
