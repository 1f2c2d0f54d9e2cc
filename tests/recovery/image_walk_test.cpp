// The free-item walk over a bitmap system file: order, the entry number it
// reports, early ends, and header and entry values from a damaged disk that
// must not make it run away.
#include "vmfs/store.h"
#include "recovery/scan.h"
#include "recovery_images.h"
#include "vmfs/fs.h"

#include <limits>

namespace {

using namespace dsb::layout;
using dsb::SysFile;

using Visits = std::vector<std::pair<uint32_t, uint32_t>>;

struct Walk {
    ds::ScanEnd end;
    Visits visits;
    std::vector<int> gauge;
};

Walk walk(ds::Datastore& store, const ds::Bitmap& bm, ds::EntryFailure on_failure = ds::EntryFailure::end_scan,
          const std::function<ds::Visit(size_t)>& answer = {}) {
    Walk w;
    ds::ScanProgress progress = [&](int g) {
        w.gauge.push_back(g);
        return true;
    };
    w.end = ds::scan_free_items(store, 
        bm,
        [&](uint32_t e, uint32_t i) {
            w.visits.push_back({e, i});
            return answer ? answer(w.visits.size()) : ds::Visit::next;
        },
        &progress, on_failure);
    return w;
}

// ".fdc.sf" of two areas; a handful of objects, some of them removed.
class FreeItemWalk : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;

    void build() {
        dsb::DatastoreOptions o;
        o.path = dir.file("walk.img");
        o.fdc.area_count = 2;
        ds = std::make_unique<dsb::ImageBuilder>(o);
        for (int k = 0; k < 20; ++k) ds->add_file("/d/f" + std::to_string(k), dsb::text_file("x"));
        for (int k = 0; k < 20; k += 3) ds->remove("/d/f" + std::to_string(k));
    }

    Visits expected_free() const {
        Visits out;
        const dsb::BitmapState& st = ds->bitmap(SysFile::Fdc);
        for (uint64_t n = 0; n < st.geometry().total_items(); ++n)
            if (st.is_free(n)) out.push_back({static_cast<uint32_t>(n / 16), static_cast<uint32_t>(n % 16)});
        return out;
    }

    // Rewrites fields of bitmap entry `entry` (by its position) of ".fdc.sf".
    void patch_entry(uint32_t entry, uint32_t offset, std::span<const uint8_t> bytes) {
        ds->write_lv(rectest::sys_file_lv(*ds, SysFile::Fdc, ds->geometry(SysFile::Fdc).entry_pos(entry) + offset), bytes);
    }
};

TEST_F(FreeItemWalk, VisitsEveryFreeItemInOrder) {
    build();
    Visits want = expected_free();
    ds->finish();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    Walk w = walk(store, ds::internals(store).fs.fdc);
    EXPECT_EQ(w.end, ds::ScanEnd::finished);
    EXPECT_EQ(w.visits, want);
    EXPECT_EQ(w.gauge, (std::vector<int>{0, 100}));
}

TEST_F(FreeItemWalk, ReportsTheEntryNumberStoredInTheEntry) {
    build();
    Visits want = expected_free();
    ds->finish();
    uint8_t forty[4] = {40, 0, 0, 0};
    patch_entry(3, entry::kId, forty);
    for (auto& v : want)
        if (v.first == 3) v.first = 40;
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    EXPECT_EQ(walk(store, ds::internals(store).fs.fdc).visits, want);
}

TEST_F(FreeItemWalk, VisitCanStopTheWalkOrEndTheCommand) {
    build();
    ds->finish();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    Walk stop = walk(store, ds::internals(store).fs.fdc, ds::EntryFailure::end_scan,
                     [](size_t n) { return n == 3 ? ds::Visit::stop_walk : ds::Visit::next; });
    EXPECT_EQ(stop.end, ds::ScanEnd::finished);
    EXPECT_EQ(stop.visits.size(), 3u);
    EXPECT_TRUE(stop.gauge.empty());
    Walk end = walk(store, ds::internals(store).fs.fdc, ds::EntryFailure::end_scan,
                    [](size_t n) { return n == 2 ? ds::Visit::end_command : ds::Visit::next; });
    EXPECT_EQ(end.end, ds::ScanEnd::descriptor_read_failed);
    EXPECT_EQ(end.visits.size(), 2u);
}

TEST_F(FreeItemWalk, ItemLoopIsBoundedByTheEntryAndItsMap) {
    build();
    ds->finish();
    // Entry 1 claims four billion items, all free.
    uint8_t huge[8] = {0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
    patch_entry(1, entry::kTotal, huge);
    std::vector<uint8_t> ones(kBitmapBytes, 0xFF);
    patch_entry(1, entry::kBitmap, ones);
    ASSERT_TRUE(rectest::open_datastore(store, *ds));

    auto count_entry1 = [](const Visits& v) { return std::count_if(v.begin(), v.end(), [](auto& p) { return p.first == 1; }); };
    Walk w = walk(store, ds::internals(store).fs.fdc);
    EXPECT_EQ(w.end, ds::ScanEnd::finished);
    EXPECT_EQ(count_entry1(w.visits), 16);   // the entry's own items only

    // With a header that claims more items per entry than the map has bits,
    // items past the 3968th are never offered.
    ds::Bitmap wide = ds::internals(store).fs.fdc;
    wide.header.items_per_entry = 100000;
    EXPECT_EQ(count_entry1(walk(store, wide).visits), kBitmapBytes * 8);
}

TEST_F(FreeItemWalk, CorruptAreaCountsEndWithinTheFile) {
    build();
    ds->finish();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    ds::Bitmap bm = ds::internals(store).fs.fdc;
    bm.header.area_count = std::numeric_limits<int32_t>::max();
    Walk fail = walk(store, bm);
    EXPECT_EQ(fail.end, ds::ScanEnd::bitmap_read_failed);
    EXPECT_EQ(fail.gauge, (std::vector<int>{0, 0}));
    // Passing over unreadable entries still stops where the file ends.
    Walk skip = walk(store, bm, ds::EntryFailure::skip_entry);
    EXPECT_EQ(skip.end, ds::ScanEnd::finished);
    EXPECT_EQ(skip.visits, fail.visits);

    // More entries than the area has room for: the walk stays inside each
    // area (the item data read as entries offers nothing) and ends.
    bm = ds::internals(store).fs.fdc;
    const Visits normal = walk(store, bm).visits;
    bm.header.entries_per_area = std::numeric_limits<int32_t>::max();
    Walk crowded = walk(store, bm);
    EXPECT_EQ(crowded.end, ds::ScanEnd::finished);
    EXPECT_EQ(crowded.visits, normal);
    EXPECT_EQ(crowded.gauge, (std::vector<int>{0, 100}));

    // Areas too small to hold one entry place nothing.
    bm = ds::internals(store).fs.fdc;
    bm.header.area_size = 1000;
    bm.header.area_count = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(walk(store, bm).end, ds::ScanEnd::bitmap_read_failed);
    EXPECT_TRUE(walk(store, bm, ds::EntryFailure::skip_entry).gauge.empty());
}

TEST_F(FreeItemWalk, BlockSizeClaimsDoNotStretchTheFile) {
    build();
    ds->finish();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    // A descriptor that claims huge blocks and a huge size would read its
    // blocks over and over; the walk ends where its 256 real blocks end.
    ds::Bitmap bm = ds::internals(store).fs.fdc;
    bm.inode.size = int64_t{1} << 62;
    bm.inode.block_size = int64_t{1} << 40;
    bm.header.area_count = std::numeric_limits<int32_t>::max();
    // Areas whose 16 entries lie inside those blocks.
    const int64_t areas = (256 * int64_t{ds::internals(store).fs.fsinfo.blocksize} - 65536 - 16 * 1024) / bm.header.area_size + 1;
    Walk w = walk(store, bm, ds::EntryFailure::skip_entry);
    EXPECT_EQ(w.end, ds::ScanEnd::finished);
    EXPECT_EQ(static_cast<int64_t>(w.gauge.size()), areas);
}

TEST(FreeItemWalkHeader, NeverOpenedOrUnplaceableHeaders) {
    ds::Datastore store;
    ds::Bitmap never_opened;
    Walk w = walk(store, never_opened);
    EXPECT_EQ(w.end, ds::ScanEnd::finished);
    EXPECT_TRUE(w.visits.empty());
    EXPECT_TRUE(w.gauge.empty());

    ds::Bitmap no_entries;
    no_entries.header.area_count = 5;
    no_entries.header.area_size = 4096;
    EXPECT_EQ(walk(store, no_entries).end, ds::ScanEnd::bitmap_read_failed);
    EXPECT_EQ(walk(store, no_entries, ds::EntryFailure::skip_entry).end, ds::ScanEnd::finished);
}

} // namespace
