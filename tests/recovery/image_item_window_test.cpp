// Items handed out from a window over ".fdc.sf" must be the bytes a single
// item read returns, item for item, also where part of the file is
// unreadable: the window is only a cheaper way to read the same bytes.
#include "vmfs/store.h"
#include "disk/disk_read.h"
#include "disk/memory_source.h"
#include "recovery/deleted_files.h"
#include "recovery/item_window.h"
#include "recovery_images.h"
#include "vmfs/blockid.h"

#include <fstream>
#include <iterator>

namespace {

using dsb::SysFile;

class ItemWindowOverFdc : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;
    ds::MemorySource mem;

    void SetUp() override {
        WithDatastore::SetUp();
        dsb::DatastoreOptions o;
        o.path = dir.file("window.img");
        o.fdc.area_count = 4;
        ds = std::make_unique<dsb::ImageBuilder>(o);
        for (int i = 0; i < 40; ++i) ds->add_file("/f" + std::to_string(i), dsb::text_file("file " + std::to_string(i)));
        for (const char* gone : {"/f3", "/f17"}) ds->remove(gone);
        ds->finish();
        std::ifstream in(o.path, std::ios::binary);
        mem.disks[o.path].assign(std::istreambuf_iterator<char>(in), {});
        new_store(mem);
        ASSERT_TRUE(rectest::open_datastore(store, *ds));
    }
    void TearDown() override {
        new_store();
        WithDatastore::TearDown();
    }

    // Image offset of descriptor slot (entry, item).
    int64_t image_offset(uint32_t entry, uint32_t item) const {
        return static_cast<int64_t>(ds->volume().locate(ds->item_lv_offset(dsb::fd_build(entry, item))).image_offset);
    }

    struct Tally {
        int64_t items = 0, unreadable = 0, lost = 0;
    };

    // Every slot of every area through the window and through single reads.
    Tally compare_all(int64_t window_bytes) {
        const ds::Bitmap& fdc = ds::internals(store).fs.fdc;
        const ds::BitmapHeader& h = fdc.header;
        ds::ItemWindow window(store, fdc, window_bytes);
        std::vector<uint8_t> single(static_cast<size_t>(h.item_size));
        Tally t;
        const auto entries = static_cast<uint32_t>(h.area_count * h.entries_per_area);
        for (uint32_t e = 0; e < entries; ++e) {
            for (uint32_t i = 0; i < static_cast<uint32_t>(h.items_per_entry); ++i) {
                SCOPED_TRACE("entry " + std::to_string(e) + " item " + std::to_string(i));
                const bool readable = ds::bitmap_read_item(store, fdc, e, i, single);
                const uint8_t* got = window.item(e, i);
                ++t.items;
                if (!readable) {
                    ++t.unreadable;
                    // A single read fails for the whole cached chunk around a
                    // bad stretch; a run may still reach the good items next
                    // to it, and then with their true bytes.
                    if (got) {
                        const int64_t at = image_offset(e, i);
                        EXPECT_TRUE(at + h.item_size <= mem.fail_from || at >= mem.fail_to);
                        const auto& image = mem.disks.begin()->second;
                        EXPECT_TRUE(std::equal(got, got + h.item_size, image.begin() + at));
                    } else {
                        ++t.lost;
                    }
                    continue;
                }
                if (!got) {
                    ADD_FAILURE() << "the window lost a readable item";
                    continue;
                }
                EXPECT_TRUE(std::equal(single.begin(), single.end(), got));
            }
        }
        reads = window.file_reads();
        return t;
    }
    int64_t reads = 0;
};

TEST_F(ItemWindowOverFdc, HandsOutTheBytesOfSingleReadsWithFarFewerReads) {
    // A window of four items, one whose runs cut items in two, and the
    // default one.
    for (int64_t window : {int64_t{4} * 2048, int64_t{5} * 2048 + 100, int64_t{1} << 20}) {
        SCOPED_TRACE("window " + std::to_string(window));
        ds::internals(store).disk.reset();
        Tally t = compare_all(window);
        EXPECT_EQ(t.unreadable, 0);
        EXPECT_GT(t.items, 1000);
        EXPECT_LE(reads, t.items * 2048 / window + t.items / 8);
    }
}

TEST_F(ItemWindowOverFdc, AnUnreadableStretchCostsOnlyTheItemsInIt) {
    // Unreadable bytes inside area 1: a window run over them fails, and the
    // items around them must still come back exactly as single reads do.
    mem.fail_from = image_offset(20, 3);
    mem.fail_to = image_offset(20, 5);
    ds::internals(store).disk.reset();
    Tally t = compare_all(int64_t{1} << 20);
    EXPECT_GT(t.lost, 0);
    EXPECT_LT(t.unreadable, t.items / 2);
}

TEST_F(ItemWindowOverFdc, DescriptorOfAShortItemIsPaddedWithZeros) {
    ds::Bitmap fdc = ds::internals(store).fs.fdc;
    fdc.header.item_size = 1000;   // as a damaged header could say
    ds::ItemWindow window(store, fdc);
    std::vector<uint8_t> single(1000);
    ASSERT_TRUE(ds::bitmap_read_item(store, fdc, 0, 1, single));
    const uint8_t* d = window.descriptor(0, 1);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(std::equal(single.begin(), single.end(), d));
    EXPECT_TRUE(std::all_of(d + 1000, d + ds::kDescriptorBytes, [](uint8_t b) { return b == 0; }));
}

TEST_F(ItemWindowOverFdc, TheDeletedFileScanReadsTheSystemFileAboutOnce) {
    ds::internals(store).disk.reset();
    mem.bytes_read = 0;
    int rows = 0;
    ASSERT_EQ(ds::scan_deleted_files(store, {}, [&](const ds::FileRow&) { ++rows; }).end, ds::ScanEnd::finished);
    const int64_t size = ds::internals(store).fs.fdc.inode.size;
    // A short tail goes through the reader's cache, which loads a whole chunk.
    EXPECT_LE(mem.bytes_read, size + ds::kChunkSize);
    EXPECT_EQ(rows, 2);
}

} // namespace
