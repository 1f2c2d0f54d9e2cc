// What the mount holds is bounded, whatever sizes a disk claims: a directory
// listed past the bound shows the entries before the cut and then ends as a
// damaged listing does, reading stops at the cut, the operator is told once,
// and the mount goes on answering.
#include "mount_support.h"

#include "disk/sector_source.h"
#include "mount/mount_fs.h"
#include "mount/mount_source.h"
#include "support/open_images.h"
#include "vmfs/datastore.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

namespace {

// The image itself, remembering whether any read touched one range.
class WatchedRange final : public ds::SectorSource {
public:
    int64_t from = -1, to = -1;
    std::atomic<bool> touched{false};
    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        if (off < to && off + len > from) touched = true;
        return posix->read(device, off, len, buf);
    }
    int64_t size(const std::string& device) override { return posix->size(device); }
    void close_all() override { posix->close_all(); }
    std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
};

// The names a directory of the mount lists, in order, and the errno its
// listing ended with (0 at a clean end).
std::vector<std::string> list_names(const std::string& path, int& end_errno) {
    std::vector<std::string> names;
    end_errno = -1;
    DIR* d = ::opendir(path.c_str());
    if (!d) return names;
    errno = 0;
    while (dirent* e = ::readdir(d)) names.push_back(e->d_name);
    end_errno = errno;
    ::closedir(d);
    return names;
}

constexpr int kCut = 1000;

class MountBound : public ::testing::Test {
protected:
    dstest::TempDir dir;
    WatchedRange watched;
    ds::Datastore store{watched};
    std::string mnt = dir.file("mnt");
    std::vector<std::string> notices;
    std::unique_ptr<dsmount::MountSource> source;
    std::unique_ptr<dsmount::MountServer> server;
    std::thread serving;

    // /many holds three blocks of entries naming /f.txt, "e0", "e1"...;
    // /after holds two files. Reads of the last block of /many are watched.
    void SetUp() override {
        const std::string why = mounttest::fuse_missing();
        if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
        dsb::DatastoreOptions o;
        o.path = dir.file("many.img");
        // Descriptor slots for every entry: a listing never holds more.
        o.fdc.area_count = 60;
        dsb::ImageBuilder ds(o);
        const uint32_t file = ds.add_file("/f.txt", dsb::text_file("x\n"));
        const uint32_t many = ds.mkdir("/many", dsb::Storage::FileBlocks);
        const uint64_t per_block = dsb::layout::kMiB / dsb::layout::kDirentSize;
        for (uint64_t i = 0; i < 2 * per_block + 10; ++i)
            ds.add_dirent(many, dsb::layout::kTypeRegular, file, "e" + std::to_string(i));
        ds.add_file("/after/a.txt", dsb::text_file("a\n"));
        ds.add_file("/after/b.txt", dsb::text_file("b\n"));
        ds.finish();
        const std::vector<uint32_t>& blocks = ds.info(many).data_ids;
        ASSERT_EQ(blocks.size(), 3u);
        watched.from = static_cast<int64_t>(ds.volume().locate(ds.item_lv_offset(blocks.back())).image_offset);
        watched.to = watched.from + static_cast<int64_t>(dsb::layout::kMiB);
        dsb::ImageSummary s;
        s.images = {o.path};
        s.start_sectors = {o.start_sector};
        ASSERT_EQ(dstest::open_images(store, s).message, "");
        source = std::make_unique<dsmount::MountSource>(store);
        std::filesystem::create_directories(mnt);
    }

    void TearDown() override {
        if (serving.joinable()) {
            mounttest::shell("fusermount3 -u " + mounttest::shell_quote(mnt));
            serving.join();
        }
    }

    void start(dsmount::MountRoot root, int64_t max_entries) {
        dsmount::MountSettings settings;
        settings.max_entries = max_entries;
        settings.notice = [this](const std::string& text) { notices.push_back(text); };
        server = std::make_unique<dsmount::MountServer>(*source, std::move(root), settings);
        ASSERT_EQ(server->mount(mnt), "");
        serving = std::thread([this] { server->serve(false); });
    }

    int64_t root_entries() {
        int64_t n = 0;
        bool complete = false;
        source->list(source->root(), [&](dsmount::SourceEntry&&) { return ++n, true; }, complete);
        EXPECT_TRUE(complete);
        return n;
    }
};

TEST_F(MountBound, ADirectoryPastTheBoundShowsTheEntriesBeforeTheCutAndReadingStopsThere) {
    dsmount::MountRoot root;
    root.directory = source->root();
    // The root's own entries count too: kCut are left for /many.
    start(root, root_entries() + kCut);

    int end = 0;
    const std::vector<std::string> names = list_names(mnt + "/many", end);
    ASSERT_EQ(names.size(), static_cast<size_t>(kCut) + 2);
    for (int i = 0; i < kCut; ++i) EXPECT_EQ(names[static_cast<size_t>(i) + 2], "e" + std::to_string(i));
    EXPECT_EQ(end, EIO);   // not all of it, as a listing a damaged block ends
    EXPECT_FALSE(watched.touched);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("at most " + std::to_string(root_entries() + kCut) + " entries"), std::string::npos)
        << notices[0];
    EXPECT_NE(notices[0].find("/many "), std::string::npos) << notices[0];

    // The names before the cut are there, the rest are not.
    struct stat st {};
    EXPECT_EQ(::stat((mnt + "/many/e" + std::to_string(kCut - 1)).c_str(), &st), 0);
    errno = 0;
    EXPECT_EQ(::stat((mnt + "/many/e" + std::to_string(kCut)).c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);

    // The mount goes on answering: files read, and a directory opened once
    // the bound is spent ends at once as cut, without a second notice.
    EXPECT_EQ(mounttest::read_text(mnt + "/f.txt"), "x\n");
    EXPECT_EQ(mounttest::read_text(mnt + "/many/e0"), "x\n");
    EXPECT_EQ(list_names(mnt + "/after", end).size(), 2u);
    EXPECT_EQ(end, EIO);
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_EQ(list_names(mnt + "/many", end).size(), static_cast<size_t>(kCut) + 2);
}

TEST_F(MountBound, ARootMadeOfAListIsCutLikeADirectory) {
    dsmount::MountRoot root;
    root.listed = true;
    for (int i = 0; i < 5; ++i) root.entries.push_back({"row" + std::to_string(i), source->root(), true});
    start(root, 3);
    int end = 0;
    const std::vector<std::string> names = list_names(mnt, end);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "row0", "row1", "row2"}));
    EXPECT_EQ(end, EIO);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("at most 3 entries: the rest of / "), std::string::npos) << notices[0];
    // The bound is spent: what row0 names lists nothing, and says so.
    EXPECT_EQ(list_names(mnt + "/row0", end).size(), 2u);
    EXPECT_EQ(end, EIO);
}

TEST_F(MountBound, UnderTheBoundEverythingIsListedAndNothingIsSaid) {
    dsmount::MountRoot root;
    root.directory = source->root();
    start(root, dsmount::MountSettings{}.max_entries);
    int end = -1;
    EXPECT_EQ(list_names(mnt + "/many", end).size(), 2 * (dsb::layout::kMiB / dsb::layout::kDirentSize) + 10 + 2);
    EXPECT_EQ(end, 0);
    EXPECT_TRUE(watched.touched);   // what the test above asks not to happen
    EXPECT_EQ(list_names(mnt + "/after", end).size(), 4u);
    EXPECT_EQ(end, 0);
    EXPECT_TRUE(notices.empty());
}

// The command gives the mount room for every descriptor slot of the volume:
// a datastore with more entries than the default bound is listed whole.
TEST(MountBoundCommand, ADirectoryLargerThanTheDefaultBoundIsListedWhole) {
    const std::string why = mounttest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    dstest::TempDir dir;
    dsb::DatastoreOptions o;
    o.path = dir.file("wide.img");
    o.block_size = 8 * dsb::layout::kMiB;
    o.fdc = {256, 64, 65536, 2048, 13};   // 212,992 descriptor slots
    o.segments = 3;
    dsb::ImageBuilder ds(o);
    const uint32_t file = ds.add_file("/f.txt", dsb::text_file("x\n"));
    const uint32_t wide = ds.mkdir("/wide");
    const int64_t entries = dsmount::MountSettings{}.max_entries + 100;
    for (int64_t i = 0; i < entries; ++i) ds.add_dirent(wide, dsb::layout::kTypeRegular, file, "e" + std::to_string(i));
    ds.finish();

    const std::string mnt = dir.file("mnt");
    mounttest::Mounted mounted({o.path}, mnt);
    ASSERT_TRUE(mounted.ok()) << mounted.run().err;
    int end = -1;
    const std::vector<std::string> names = list_names(mnt + "/wide", end);
    EXPECT_EQ(end, 0);
    ASSERT_EQ(static_cast<int64_t>(names.size()), entries + 2);
    EXPECT_EQ(names.back(), "e" + std::to_string(entries - 1));
    EXPECT_EQ(mounted.run().err, "");   // nothing cut, nothing said
}

} // namespace
