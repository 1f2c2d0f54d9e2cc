// The scans over a datastore with bad sectors: without rescue they end where
// they always ended; with it they keep every row outside the bad sectors,
// mark a row whose descriptor was read only in part, and name every area
// they passed over.
#include "vmfs/store.h"
#include "disk/memory_source.h"
#include "recovery_images.h"
#include "vmfs/blockid.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

using dsb::SysFile;

class RescueScan : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;
    ds::MemorySource mem;
    std::vector<uint32_t> deleted;   // ids of the clean scan's rows, in walk order

    void SetUp() override {
        WithDatastore::SetUp();
        dsb::DatastoreOptions o;
        o.path = dir.file("rescue.img");
        o.fdc.area_count = 4;
        ds = std::make_unique<dsb::ImageBuilder>(o);
        for (int i = 0; i < 60; ++i) ds->add_file("/f" + std::to_string(i), dsb::text_file("file " + std::to_string(i)));
        for (int i = 0; i < 60; i += 3) ds->remove("/f" + std::to_string(i));
        ds->finish();
        std::ifstream in(o.path, std::ios::binary);
        mem.disks[o.path].assign(std::istreambuf_iterator<char>(in), {});
        new_store(mem);
        ASSERT_TRUE(rectest::open_datastore(store, *ds));
        for (const ds::FileRow& r : store.scan_deleted({}).rows) deleted.push_back(r.descriptor_id);
        ASSERT_EQ(deleted.size(), 20u);
    }
    void TearDown() override {
        new_store();
        WithDatastore::TearDown();
    }

    int64_t image_offset_of_lv(uint64_t lv) const { return static_cast<int64_t>(ds->volume().locate(lv).image_offset); }
    // Position of descriptor f in ".fdc.sf", and where it lies on the image.
    int64_t slot_pos(uint32_t f) {
        return ds::bitmap_item_pos(ds::internals(store).fs.fdc, ds::fd_entry(f), ds::fd_item(f));
    }
    int64_t slot_image(uint32_t f) const { return image_offset_of_lv(ds->item_lv_offset(f)); }
    // A fresh reader, so that no chunk read before the damage answers.
    void damage(std::vector<ds::ByteSpan> bad) {
        mem.bad = std::move(bad);
        ds::internals(store).disk.reset();
        ds::internals(store).memos.reset();
    }
    static std::vector<uint32_t> ids(const std::vector<ds::FileRow>& rows) {
        std::vector<uint32_t> v;
        for (const ds::FileRow& r : rows) v.push_back(r.descriptor_id);
        return v;
    }
};

TEST_F(RescueScan, ABadSectorInADescriptorEndsTheScanWithoutRescueAndCostsNothingWithIt) {
    // The slot's last sector: its id and type (second sector) stay readable,
    // so the row is listed, marked, and the sector named in ".fdc.sf".
    const uint32_t hit = deleted[7];
    damage({{slot_image(hit) + 1536, 512}});

    ds::ScanResult<ds::FileRow> plain = store.scan_deleted({});
    EXPECT_EQ(plain.end, ds::ScanEnd::descriptor_read_failed);
    EXPECT_EQ(ids(plain.rows), std::vector<uint32_t>(deleted.begin(), deleted.begin() + 7));
    EXPECT_TRUE(plain.unreadable.empty());

    store.set_scan_rescue(true);
    ds::ScanResult<ds::FileRow> rescued = store.scan_deleted({});
    EXPECT_EQ(rescued.end, ds::ScanEnd::finished);
    EXPECT_EQ(ids(rescued.rows), deleted);
    for (const ds::FileRow& r : rescued.rows) EXPECT_EQ(r.partly_unreadable, r.descriptor_id == hit) << r.descriptor_id;
    const std::vector<ds::SkippedArea> want = {{ds::SkippedIn::fdc, slot_pos(hit) + 1536, 512}};
    EXPECT_EQ(rescued.unreadable, want);
}

TEST_F(RescueScan, ASlotWhoseIdIsUnreadableIsNotGuessedButNamed) {
    const uint32_t hit = deleted[3];
    damage({{slot_image(hit) + 512, 512}});
    store.set_scan_rescue(true);
    ds::ScanResult<ds::FileRow> rescued = store.scan_deleted({});
    EXPECT_EQ(rescued.end, ds::ScanEnd::finished);
    std::vector<uint32_t> want_ids = deleted;
    want_ids.erase(want_ids.begin() + 3);
    EXPECT_EQ(ids(rescued.rows), want_ids);
    for (const ds::FileRow& r : rescued.rows) EXPECT_FALSE(r.partly_unreadable);
    const std::vector<ds::SkippedArea> want = {{ds::SkippedIn::fdc, slot_pos(hit) + 512, 512}};
    EXPECT_EQ(rescued.unreadable, want);
}

TEST_F(RescueScan, AnUnreadableBitmapEntryCostsOnlyTheSlotsItDescribes) {
    // The entry that describes the last deleted slot: without it nothing
    // says which of its slots are free.
    const uint32_t hit = deleted.back();
    const ds::BitmapHeader& h = ds::internals(store).fs.fdc.header;
    const uint32_t entry = ds::fd_entry(hit);
    const int64_t area = entry / h.entries_per_area, j = entry % h.entries_per_area;
    const int64_t entry_pos = h.header_size + area * h.area_size + j * ds::kBitmapEntryBytes;
    damage({{image_offset_of_lv(rectest::sys_file_lv(*ds, SysFile::Fdc, entry_pos)), 512}});

    ds::ScanResult<ds::FileRow> plain = store.scan_deleted({});
    EXPECT_EQ(plain.end, ds::ScanEnd::bitmap_read_failed);

    store.set_scan_rescue(true);
    ds::ScanResult<ds::FileRow> rescued = store.scan_deleted({});
    EXPECT_EQ(rescued.end, ds::ScanEnd::finished);
    std::vector<uint32_t> want_ids;
    for (uint32_t f : deleted)
        if (ds::fd_entry(f) != entry) want_ids.push_back(f);
    EXPECT_FALSE(want_ids.empty());
    EXPECT_EQ(ids(rescued.rows), want_ids);
    const std::vector<ds::SkippedArea> want = {{ds::SkippedIn::fdc, entry_pos, ds::kBitmapEntryBytes}};
    EXPECT_EQ(rescued.unreadable, want);
}

TEST_F(RescueScan, AHealthyDatastoreScansAlikeWithRescue) {
    store.set_scan_rescue(true);
    ds::ScanResult<ds::FileRow> rescued = store.scan_deleted({});
    EXPECT_EQ(rescued.end, ds::ScanEnd::finished);
    EXPECT_EQ(ids(rescued.rows), deleted);
    EXPECT_TRUE(rescued.unreadable.empty());
    EXPECT_TRUE(store.scan_formatted({}).unreadable.empty());
}

} // namespace
