// Virtual-disk file recovery over built datastores: free pointer blocks whose
// first block id leads to a master boot record, and the decoys that do not.
#include "recovery/lost_vmdks.h"
#include "vmfs/store.h"
#include "text/row_text.h"
#include "recovery_images.h"
#include "builder/scenarios.h"

namespace {

using namespace dsb::layout;
using dsb::SysFile;

ds::ScanEnd run(ds::Datastore& store, std::vector<ds::PartitionRow>& rows, std::vector<int>* gauge = nullptr) {
    return ds::scan_lost_vmdks(store, 
        [&](int g) {
            if (gauge) gauge->push_back(g);
            return true;
        },
        [&](const ds::PartitionRow& r) { rows.push_back(r); }).end;
}

class DemoDisks : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

TEST_F(DemoDisks, ListsTheLostDiskOnlyAndNotTheLiveOnes) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_TRUE(rectest::open_images(store, demo.images, demo.start_sector));
    std::vector<ds::PartitionRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(run(store, rows, &gauge), ds::ScanEnd::finished);
    // The live flat disk also begins with a boot record, but its pointer
    // block is allocated; the decoys (null id, sub-block id, 55 AB) give none.
    ASSERT_EQ(demo.lost_disks.size(), 1u);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].n, 1);
    const std::array<std::string, 4> cells = ds::partition_row_cells(rows[0]);
    EXPECT_EQ(cells, (std::array<std::string, 4>{"1", " ", "NTFS|LINUX交换", "41GB"}));
    EXPECT_EQ(cells[3], std::to_string(demo.lost_disks[0].total_kib / 1048576) + "GB");
    EXPECT_EQ(gauge, std::vector<int>{100});   // one area of ".pbc.sf"
}

TEST_F(DemoDisks, RefusesToRunBeforeTheDatastoreIsOpened) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    std::vector<ds::PartitionRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(run(store, rows, &gauge), ds::ScanEnd::not_open);
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(gauge.empty());
}

// ".pbc.sf" of two areas with free pointer blocks of every kind.
class LostDisks : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;

    uint32_t disk_block(std::array<uint8_t, 3> boot, const std::vector<dsb::PartitionEntry>& table,
                        std::array<uint8_t, 2> sig = {0x55, 0xAA}) {
        const uint32_t b = ds->unused(SysFile::Fbb);
        ds->write_item(b, 0, dsb::make_mbr(boot, table, sig));
        return b;
    }

    void pointer(uint32_t pb, uint32_t first) {
        std::vector<uint8_t> ids(8, 0);
        for (int i = 0; i < 4; ++i) ids[i] = static_cast<uint8_t>(first >> (8 * i));
        ids[4] = 0x41;   // the ids after the first are never looked at
        ds->write_item(pb, 0, ids);
    }

    void build() {
        dsb::DatastoreOptions o;
        o.path = dir.file("disks.img");
        o.pbc.area_count = 2;
        ds = std::make_unique<dsb::ImageBuilder>(o);
        const uint32_t linux_disk = disk_block({0xEB, 0x48, 0x90}, {{0x83, 2048, 4194304}});
        pointer(ds->unused(SysFile::Pbc), linux_disk);
        pointer(ds->unused(SysFile::Pbc), linux_disk);   // the same disk once per pointer block
        pointer(ds->unused(SysFile::Pbc), disk_block({0x33, 0xC0, 0x8F}, {{0x07, 2048, 4194304}}));
        pointer(ds->unused(SysFile::Pbc), disk_block({0x33, 0xC0, 0x8E}, {{0x07, 2048, 4194304}}, {0x55, 0xAB}));
        pointer(ds->unused(SysFile::Pbc), dsb::fb_build(0x3FFFFFF));   // a block past the volume's end
        pointer(ds->unused(SysFile::Pbc), dsb::pb_build(0, 1));        // a pointer-block id
        pointer(ds->unused(SysFile::Pbc),
                disk_block({0xFA, 0x33, 0xC0}, {{0x05, 1, 3}, {0x0C, 1, 2097152}, {0x0F, 1, 1}, {0x06, 1, 4194303}}));
        // An entry that claims to have nothing free is not looked into.
        const uint32_t hidden = dsb::pb_build(5, 0);
        pointer(hidden, linux_disk);
        ds->set_entry_free_count(SysFile::Pbc, 5, 0);
        // The second area.
        pointer(dsb::pb_build(16, 2), disk_block({0x33, 0xC0, 0x8E}, {{0x07, 1, 83886080}, {0x82, 1, 2097152}}));
        ds->finish();
    }
};

TEST_F(LostDisks, OneRowPerFreePointerBlockLeadingToABootRecord) {
    build();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    std::vector<ds::PartitionRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(run(store, rows, &gauge), ds::ScanEnd::finished);
    EXPECT_EQ(gauge, (std::vector<int>{0, 100}));
    ASSERT_EQ(rows.size(), 4u);
    const std::pair<const char*, const char*> want[] = {
        {"LINUX", "2GB"}, {"LINUX", "2GB"}, {"扩展分区|FAT32|扩展分区|未知", "3GB"}, {"NTFS|LINUX交换", "41GB"}};
    for (size_t k = 0; k < rows.size(); ++k) {
        SCOPED_TRACE("row " + std::to_string(k + 1));
        EXPECT_EQ(rows[k].n, static_cast<int>(k + 1));
        const std::array<std::string, 4> cells = ds::partition_row_cells(rows[k]);
        EXPECT_EQ(cells[0], std::to_string(k + 1));
        EXPECT_EQ(cells[2], want[k].first);
        EXPECT_EQ(cells[3], want[k].second);
    }
}

TEST_F(LostDisks, UnreadableBitmapEntryEndsTheScanVisiblyAndKeepsRows) {
    build();
    rectest::put_header_field(*ds, SysFile::Pbc, 24, 3);   // one area more than the file holds
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    std::vector<ds::PartitionRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(run(store, rows, &gauge), ds::ScanEnd::bitmap_read_failed);
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_EQ(gauge, (std::vector<int>{0, 50}));
}

// Where thousands of disks were deleted, ".pbc.sf" holds as many free
// pointer blocks: the scan reads it a run at a time, not one block per read.
TEST_F(LostDisks, ManyFreePointerBlocksAreReadInRuns) {
    dsb::DatastoreOptions o;
    o.path = dir.file("many.img");
    o.pbc.area_count = 16;   // 4096 pointer blocks of 4 KiB
    ds = std::make_unique<dsb::ImageBuilder>(o);
    const uint32_t disk = disk_block({0x33, 0xC0, 0x8E}, {{0x07, 2048, 204800}});
    std::vector<uint32_t> free_blocks;
    for (int i = 0; i < 4000; ++i) free_blocks.push_back(ds->unused(SysFile::Pbc));
    pointer(free_blocks[3000], disk);
    ds->finish();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));

    ds::internals(store).disk.reset();
    std::vector<ds::PartitionRow> rows;
    EXPECT_EQ(run(store, rows), ds::ScanEnd::finished);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].pointer_block, free_blocks[3000]);
    // About 16 MiB in runs of 1 MiB, the disk's first block beside them.
    EXPECT_LT(ds::internals(store).disk.requests(), 100);
}

} // namespace

namespace {

// Free pointer blocks by the dozen whose first blocks lie all over the
// volume, listed in ".pbc.sf" against the order of the disk.
class ManyCandidates : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    rectest::CountingSource counting;
    void TearDown() override {
        new_store();   // the reader closes its source's files first
        WithDatastore::TearDown();
    }
};

TEST_F(ManyCandidates, EachFirstBlockCostsItsKibibyteAndTheDiskIsReadForward) {
    dsb::DatastoreOptions o;
    o.path = dir.file("many.img");
    dsb::ImageBuilder ds(o);
    constexpr size_t kCandidates = 48;
    std::vector<uint32_t> blocks;
    for (size_t i = 0; i < kCandidates; ++i) blocks.push_back(ds.unused(SysFile::Fbb));
    std::reverse(blocks.begin(), blocks.end());
    std::vector<uint32_t> booting;
    for (size_t i = 0; i < kCandidates; ++i) {
        if (i % 16 == 5) {
            ds.write_item(blocks[i], 0, dsb::make_mbr({0x33, 0xC0, 0x8E}, {{0x83, 2048, 4194304}}, {0x55, 0xAA}));
            booting.push_back(blocks[i]);
        }
        std::vector<uint8_t> ids(4);
        for (int k = 0; k < 4; ++k) ids[k] = static_cast<uint8_t>(blocks[i] >> (8 * k));
        ds.write_item(ds.unused(SysFile::Pbc), 0, ids);
    }
    ds.finish();
    new_store(counting);
    ASSERT_TRUE(rectest::open_datastore(store, ds));
    ds::internals(store).disk.reset();
    counting.reads.clear();

    std::vector<ds::PartitionRow> rows;
    EXPECT_EQ(run(store, rows), ds::ScanEnd::finished);
    // The rows still come in the order of ".pbc.sf".
    ASSERT_EQ(rows.size(), booting.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].n, static_cast<int>(k + 1));
        EXPECT_EQ(rows[k].first_block, booting[k]);
    }
    // ".pbc.sf" through the cache, and 1 KiB of each first block: a chunk
    // each would be kCandidates MiB.
    const int64_t pbc = ds::internals(store).fs.pbc.inode.size;
    EXPECT_LE(counting.bytes(), pbc + ds::kChunkSize + static_cast<int64_t>(kCandidates) * 1024);
    std::vector<int64_t> looks;
    for (const rectest::CountingSource::Read& r : counting.reads)
        if (r.len == 1024) looks.push_back(r.off);
    EXPECT_EQ(looks.size(), kCandidates);
    EXPECT_TRUE(std::is_sorted(looks.begin(), looks.end())) << "the first blocks are read forward";
}

} // namespace
