// Reading around bad sectors: the reader narrows a failed read down to the
// sectors that fail, and a file's read says exactly which bytes it lost.

#include "disk/disk_read.h"
#include "disk/memory_source.h"
#include "support/open_images.h"
#include "support/test_support.h"
#include "vmfs/dirent.h"
#include "vmfs/store.h"
#include "vmfs/volume.h"

#include <fstream>
#include <map>
#include <mutex>

namespace {

using namespace ds;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + (i >> 9) + 1);
    return v;
}

// Fails every read that touches a sector of `flaky`, except that a read of
// that sector alone succeeds once it has failed `failures` times: a weak
// sector that a rescue tool may win back by trying again.
class FlakySource final : public SectorSource {
public:
    MemorySource mem;
    std::vector<int64_t> flaky;   // sector numbers
    int failures = 0;
    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        std::lock_guard lock(mutex_);
        for (int64_t s : flaky)
            if (off < (s + 1) * 512 && off + len > s * 512 && (len > 512 || tried_[s]++ < failures)) return false;
        return mem.read(device, off, len, buf);
    }
    int64_t size(const std::string& device) override { return mem.size(device); }

private:
    std::mutex mutex_;
    std::map<int64_t, int> tried_;
};

class BadSectors : public ::testing::Test {
protected:
    MemorySource mem;
    DiskReader disk{mem};
    std::vector<uint8_t> bytes = pattern(4 * 1048576);
    void SetUp() override { mem.disks["d"] = bytes; }
};

TEST_F(BadSectors, AHealthyReadCostsOneReadAndReportsNothing) {
    std::vector<uint8_t> out(2 * 1048576);
    std::vector<ByteSpan> bad;
    ASSERT_EQ(disk.read_salvage("d", out.data(), 4096, out.size(), bad), static_cast<int64_t>(out.size()));
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(mem.reads, 1);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 4096));
}

TEST_F(BadSectors, EveryReadableSectorAroundBadOnesIsReadAndTheRestIsZerosAndNamed) {
    // One sector, then three in a row across a 4 KiB edge, in a read that
    // starts and ends in the middle of sectors.
    mem.bad = {{1048576 + 512 * 7, 512}, {1048576 + 8192 - 1024, 1536}};
    const int64_t pos = 1048576 - 100;
    std::vector<uint8_t> out(1048576 + 300, 0xAA);
    std::vector<ByteSpan> bad;
    ASSERT_EQ(disk.read_salvage("d", out.data(), pos, out.size(), bad), static_cast<int64_t>(out.size()));
    const std::vector<ByteSpan> want = {{100 + 512 * 7, 512}, {100 + 8192 - 1024, 1536}};
    EXPECT_EQ(bad, want);
    for (size_t i = 0; i < out.size(); ++i) {
        const bool lost = std::any_of(want.begin(), want.end(), [&](const ByteSpan& r) {
            return int64_t(i) >= r.offset && int64_t(i) < r.end();
        });
        ASSERT_EQ(out[i], lost ? 0 : bytes[pos + i]) << i;
    }
    // A few dozen reads, not one per sector.
    EXPECT_LT(mem.reads, 80);
}

TEST_F(BadSectors, AWhollyUnreadableMebibyteCostsAFewThousandReads) {
    mem.bad = {{1048576, 1048576}};
    std::vector<uint8_t> out(1048576);
    std::vector<ByteSpan> bad;
    ASSERT_EQ(disk.read_salvage("d", out.data(), 1048576, out.size(), bad), 1048576);
    EXPECT_EQ(bad, (std::vector<ByteSpan>{{0, 1048576}}));
    EXPECT_LT(mem.reads, 3000);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(BadSectors, RetriesReadAgainOnlyWhatFailedAndMayWinItBack) {
    for (int retries : {0, 1, 2, 3}) {
        FlakySource flaky;
        flaky.mem.disks["d"] = bytes;
        flaky.flaky = {100, 300};
        flaky.failures = 3;   // its first read alone and two more fail
        DiskReader reader{flaky};
        reader.set_retries(retries);
        std::vector<uint8_t> out(1048576);
        std::vector<ByteSpan> bad;
        ASSERT_EQ(reader.read_salvage("d", out.data(), 0, out.size(), bad), 1048576);
        if (retries < 3) {
            // The sector's first read at the narrowest split, then its
            // retries, all failed.
            EXPECT_EQ(bad, (std::vector<ByteSpan>{{100 * 512, 512}, {300 * 512, 512}})) << retries;
        } else {
            EXPECT_TRUE(bad.empty());
            EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin()));
        }
    }
}

TEST_F(BadSectors, ASmallReadBesideABadSectorInItsChunkStillSucceeds) {
    mem.bad = {{1048576 + 512 * 10, 512}};
    std::vector<uint8_t> out(512);
    ASSERT_EQ(disk.read("d", out.data(), 0, 1048576 + 512 * 11, 512), 512);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 1048576 + 512 * 11));
    // The bad sector itself still fails, and says so.
    EXPECT_EQ(disk.read("d", out.data(), 0, 1048576 + 512 * 10 + 8, 16), -1);
    EXPECT_EQ(disk.thread_failure().fault, Fault::device_read);
    // Salvage gives nothing for a range that leaves the device.
    std::vector<ByteSpan> bad;
    EXPECT_EQ(disk.read_salvage("d", out.data(), int64_t(bytes.size()) - 100, 512, bad), -1);
    EXPECT_TRUE(bad.empty());
}

// A file read through the face: the unreadable bytes in file coordinates.
TEST(BadSectorFile, ReadRunNamesTheLostBytesInFileCoordinates) {
    dstest::TempDir dir;
    const dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(demo.images.size(), 1u);
    std::ifstream in(demo.images[0], std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    MemorySource mem;
    mem.disks[demo.images[0]] = image;
    Datastore store{mem};
    ASSERT_TRUE(dstest::open_images(store, demo).message.empty());
    File file;
    ASSERT_TRUE(store.open_file({demo.ids.at("/vm1/vm1.log"), -1}, file));
    ASSERT_EQ(file.size(), 3 * 1048576 + 5);
    DevicePlace where;
    const int64_t bad_at = 1048576 + 512 * 1000;   // a sector in the file's second block
    ASSERT_TRUE(store.place(file, bad_at, 512, where));
    mem.bad = {{where.offset, 512}};

    std::vector<uint8_t> got(file.size());
    std::vector<ByteSpan> lost;
    for (int64_t p = 0; p < file.size();) {
        int64_t n = 0;
        bool hole = false;
        ASSERT_TRUE(store.read_run(file, got.data() + p, file.size() - p, p, n, hole, lost));
        ASSERT_GT(n, 0);
        ASSERT_FALSE(hole);
        p += n;
    }
    EXPECT_EQ(lost, (std::vector<ByteSpan>{{bad_at, 512}}));
    const auto object = std::find_if(demo.objects.begin(), demo.objects.end(),
                                     [](const dsb::ObjectExpect& o) { return o.path == "/vm1/vm1.log"; });
    ASSERT_NE(object, demo.objects.end());
    std::vector<uint8_t> want = dstest::expected_bytes(*object);
    std::fill(want.begin() + bad_at, want.begin() + bad_at + 512, 0);
    EXPECT_TRUE(got == want);

    // Without salvage the read of that block fails, as before.
    int64_t n = 0;
    bool hole = false;
    Status st = store.read_run(file, got.data(), 1048576, 1048576, n, hole);
    EXPECT_FALSE(st);
    EXPECT_EQ(st.failure.fault, Fault::device_read);
}

} // namespace

// A directory of many entries and a small file in sub-blocks, read from memory
// so that any of their sectors can be made to fail.
class BadSectorDirectory : public ::testing::TestWithParam<dsb::Storage> {
protected:
    dstest::TempDir dir;
    MemorySource mem;
    std::unique_ptr<Datastore> store;
    uint32_t big = 0, small = 0;
    static constexpr int kEntries = 1200;   // 168000 bytes: several sub-blocks

    void SetUp() override {
        dsb::DatastoreOptions o;
        o.path = dir.file("d.img");
        o.fdc.area_count = 8;   // a descriptor slot for every entry
        dsb::ImageBuilder b(o);
        const uint32_t f = b.add_file("/f.txt", dsb::text_file("x"));
        big = b.mkdir("/big", GetParam());
        for (int k = 0; k < kEntries; ++k) b.add_dirent(big, 3, f, "entry-" + std::to_string(k));
        small = b.add_file("/small.bin", dsb::generated_file(100000, dsb::pattern_content(7), dsb::Storage::SubBlocks));
        b.finish();
        std::ifstream in(o.path, std::ios::binary);
        mem.disks[o.path] = std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        store = std::make_unique<Datastore>(mem);
        dsb::ImageSummary s;
        s.images = {o.path};
        ASSERT_EQ(dstest::open_images(*store, s).message, "");
    }
    // The device offset of byte off of a file, through its extents.
    int64_t device_offset(uint32_t id, int64_t off) {
        File file;
        EXPECT_TRUE(store->open_file({id, -1}, file));
        for (const Extent& e : store->extents(file))
            if (off >= e.offset && off < e.offset + e.length && e.lv_offset >= 0) {
                LvmPlace place;
                EXPECT_TRUE(lvm_locate(internals(*store), e.lv_offset + (off - e.offset), place));
                return place.device_offset;
            }
        ADD_FAILURE() << "no place for byte " << off;
        return -1;
    }
    struct Listed {
        std::vector<std::string> names;
        ListStatus how{};
        int64_t skipped_entries = 0;
        std::vector<ByteSpan> skipped;
    };
    Listed list_big() {
        DirLister lister = store->list({big, -1});
        Listed out;
        for (ListedEntry e; lister.next(e);) out.names.push_back(e.name);
        out.how = lister.status();
        out.skipped_entries = lister.skipped_entries();
        out.skipped = lister.skipped();
        return out;
    }
};

TEST_P(BadSectorDirectory, AnUnreadableSectorCostsOnlyTheEntriesOnItWithRescue) {
    // A sector in the middle of the directory: entries 498..501 (and the
    // ends of those around them) lie on it. "." and ".." come first.
    const int64_t at = 70000;
    const int64_t sector = device_offset(big, at) / 512 * 512;
    const int64_t sector_in_dir = at - (device_offset(big, at) - sector);
    mem.bad = {{sector, 512}};
    internals(*store).disk.reset();   // nothing read before is served from the cache
    const int64_t first_lost = sector_in_dir / kDirentBytes;                       // entry index in the file
    const int64_t after_lost = (sector_in_dir + 512 + kDirentBytes - 1) / kDirentBytes;

    // Without rescue the listing ends early at the first entry it cannot
    // read: a sub-block is read whole, so there it is the first reaching
    // into the sub-block.
    const int64_t sub = internals(*store).fs.sbc.header.item_size;
    const int64_t first_failing = GetParam() == dsb::Storage::SubBlocks ? sector_in_dir / sub * sub / kDirentBytes : first_lost;
    Listed got = list_big();
    EXPECT_EQ(got.how, ListStatus::ended_early);
    EXPECT_EQ(got.names.size(), size_t(first_failing - 2));
    EXPECT_EQ(got.skipped_entries, 0);

    store->set_list_rescue(true);
    got = list_big();
    EXPECT_EQ(got.how, ListStatus::complete);
    EXPECT_EQ(got.skipped_entries, after_lost - first_lost);
    EXPECT_EQ(got.skipped, (std::vector<ByteSpan>{{first_lost * kDirentBytes, (after_lost - first_lost) * kDirentBytes}}));
    std::vector<std::string> want;
    for (int64_t k = 0; k < kEntries; ++k)
        if (k + 2 < first_lost || k + 2 >= after_lost) want.push_back("entry-" + std::to_string(k));
    EXPECT_EQ(got.names, want);

    // The walk and the lookup go on past it and say so.
    std::vector<std::string> notes;
    TreeWalkResult walked = store->walk(Datastore::root(), "/", [](const TreeNode&) { return true; },
                                        [&](TreeNote what, const std::string& path) {
                                            if (what == TreeNote::entries_skipped) notes.push_back(path);
                                        });
    EXPECT_EQ(notes, std::vector<std::string>{"/big"});
    EXPECT_GE(walked.entries, kEntries - (after_lost - first_lost));
    const PathLookup found = store->look_up("/big/entry-" + std::to_string(kEntries - 1), PathFrom::root);
    EXPECT_EQ(found.end, PathEnd::found);
    EXPECT_EQ(found.skipped_entries, after_lost - first_lost);
}

TEST_P(BadSectorDirectory, ASmallFileInSubBlocksReadsAroundItsBadSector) {
    File file;
    ASSERT_TRUE(store->open_file({small, -1}, file));
    const int64_t bad_at = 70000;   // in its second sub-block
    const int64_t device = device_offset(small, bad_at);
    const int64_t sector = device / 512 * 512;
    const int64_t lost_from = bad_at - (device - sector);
    mem.bad = {{sector, 512}};
    internals(*store).disk.reset();   // nothing read before is served from the cache
    std::vector<uint8_t> got(file.size());
    std::vector<ByteSpan> lost;
    for (int64_t p = 0; p < file.size();) {
        int64_t n = 0;
        bool hole = false;
        ASSERT_TRUE(store->read_run(file, got.data() + p, file.size() - p, p, n, hole, lost));
        ASSERT_GT(n, 0);
        p += n;
    }
    EXPECT_EQ(lost, (std::vector<ByteSpan>{{lost_from, 512}}));
    std::vector<uint8_t> want(file.size());
    const dsb::ContentFn content = dsb::pattern_content(7);
    content(0, want);
    std::fill(want.begin() + lost_from, want.begin() + lost_from + 512, 0);
    EXPECT_TRUE(got == want);
    // Without salvage the sub-block fails whole, as before.
    int64_t n = 0;
    bool hole = false;
    EXPECT_FALSE(store->read_run(file, got.data(), file.size(), 65536, n, hole));
}

INSTANTIATE_TEST_SUITE_P(DirectoryStorage, BadSectorDirectory,
                         ::testing::Values(dsb::Storage::SubBlocks, dsb::Storage::FileBlocks));
