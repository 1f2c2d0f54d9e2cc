// Deleted-file recovery over built datastores: which free descriptor slots
// become rows, in what order, with which texts, and how the scan ends when
// the datastore is damaged.
#include "vmfs/store.h"
#include "recovery/deleted_files.h"
#include "recovery_images.h"
#include "export/file_export.h"
#include "vmfs/inode.h"
#include "text/messages.h"
#include "text/row_text.h"
#include "text/time_text.h"

#include <algorithm>
#include <array>

namespace {

using namespace dsb::layout;
using dsb::SysFile;
using rectest::open_datastore;

struct Expected {
    uint32_t id;
    std::string size;
    std::string create_at, update_at, atime;
};

// fdc: 4 areas of 16 entries of 16 descriptors.
class DeletedFiles : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;
    std::vector<Expected> expected;   // sorted into walk order by build()
    uint32_t file_blocks_file = 0;
    dsb::ObjectExpect file_blocks_object;
    uint32_t old_dir = 0;

    void build(uint32_t fdc_areas = 4) {
        dsb::DatastoreOptions o;
        o.path = dir.file("deleted.img");
        o.fdc.area_count = fdc_areas;
        ds = std::make_unique<dsb::ImageBuilder>(o);
        ds->add_file("/a/keep.txt", dsb::text_file("still here\n"));

        dsb::FileSpec times = dsb::text_file("small and gone\n");
        times.create_time = 0;
        times.update_time = 0xFFFFFFFF;   // -1
        times.atime = 2147483647;
        const uint32_t inl = ds->add_file("/a/inline.txt", times);
        dsb::FileSpec old = dsb::generated_file(100000, dsb::pattern_content(7), dsb::Storage::SubBlocks);
        old.create_time = static_cast<uint32_t>(-315619200);   // 1960
        old.update_time = old.atime = 1234567890;
        const uint32_t sub = ds->add_file("/a/sub.bin", old);
        file_blocks_file = ds->add_file("/a/blocks.bin", dsb::generated_file(3 * kMiB / 2, dsb::pattern_content(8),
                                                                              dsb::Storage::FileBlocks));
        const uint32_t ptr = ds->add_file("/a/pointers.bin",
                                          dsb::generated_file(kMiB + 1, dsb::pattern_content(9), dsb::Storage::PointerBlocks));
        old_dir = ds->mkdir("/old");
        const uint32_t inner = ds->add_file("/old/inner.txt", dsb::text_file("inside a deleted directory\n"));
        for (const char* p : {"/a/inline.txt", "/a/sub.bin", "/a/blocks.bin", "/a/pointers.bin", "/old"}) ds->remove(p);
        file_blocks_object = dsb::expect(*ds, file_blocks_file);

        expected.push_back({inl, "<1024byte", "1970-01-01 00:00:00", "1969-12-31 23:59:59", "2038-01-19 03:14:07"});
        expected.push_back({sub, ">=1024byte ,<1048576byte", "1960-01-01 00:00:00", "2009-02-13 23:31:30",
                            "2009-02-13 23:31:30"});
        for (uint32_t id : {file_blocks_file, ptr, inner}) {
            const auto& info = ds->info(id);
            std::string t = ds::format_unix_time(static_cast<int32_t>(info.create_time));
            expected.push_back({id, id == file_blocks_file ? ">=1MB,<256MB" : id == ptr ? ">=256MB" : "<1024byte", t, t, t});
        }

        // Free slots that must not become rows: a system file, a regular file
        // whose id names another slot, and never-used slots (id 0) all over.
        const uint32_t sys = ds->unused(SysFile::Fdc);
        dsb::DescriptorFields d = rectest::deleted_file(sys, kAddrFileBlocks);
        d.type = kTypeSystem;
        ds->write_descriptor(sys, d);
        const uint32_t moved = ds->unused(SysFile::Fdc);
        ds->write_descriptor(moved, rectest::deleted_file(dsb::fd_build(0, 1), kAddrFileBlocks));

        if (fdc_areas == 4) {
            // Deleted files in later areas: entry 32 opens area 2, entry 63 ends area 3.
            for (uint32_t slot : {dsb::fd_build(32, 3), dsb::fd_build(63, 15)}) {
                ds->write_descriptor(slot, rectest::deleted_file(slot, 3, 1000));
                expected.push_back({slot, ">=256MB", "1970-01-01 00:16:40", "1970-01-01 00:16:41", "1970-01-01 00:16:42"});
            }
            // An entry that says it has nothing free is not looked into, even
            // though its map has bits set.
            const uint32_t hidden = dsb::fd_build(40, 0);
            ds->write_descriptor(hidden, rectest::deleted_file(hidden, 1));
            ds->set_entry_free_count(SysFile::Fdc, 40, 0);
        }

        std::sort(expected.begin(), expected.end(), [](const Expected& a, const Expected& b) {
            return std::pair(dsb::fd_entry(a.id), dsb::fd_item(a.id)) < std::pair(dsb::fd_entry(b.id), dsb::fd_item(b.id));
        });
        ds->finish();
    }

    ds::ScanEnd scan(std::vector<ds::FileRow>& rows, std::vector<int>* gauge = nullptr, int stop_after = -1) {
        int calls = 0;
        ds::ScanProgress progress = [&](int g) {
            if (gauge) gauge->push_back(g);
            return ++calls != stop_after;
        };
        return ds::scan_deleted_files(store, progress, [&](const ds::FileRow& r) { rows.push_back(r); }).end;
    }

    void expect_rows(const std::vector<ds::FileRow>& rows, size_t count) {
        ASSERT_EQ(rows.size(), count);
        for (size_t k = 0; k < count; ++k) {
            SCOPED_TRACE("row " + std::to_string(k + 1));
            EXPECT_EQ(rows[k].n, static_cast<int>(k + 1));
            EXPECT_EQ(rows[k].descriptor_id, expected[k].id);
            const std::array<std::string, 7> cells = ds::file_row_cells(rows[k]);
            EXPECT_EQ(cells, (std::array<std::string, 7>{std::to_string(k + 1), " ", "FILE", expected[k].size,
                                                         expected[k].create_at, expected[k].update_at, expected[k].atime}));
        }
    }
};

TEST_F(DeletedFiles, ListsDeletedRegularFilesInWalkOrder) {
    build();
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(scan(rows, &gauge), ds::ScanEnd::finished);
    expect_rows(rows, expected.size());
    EXPECT_EQ(gauge, (std::vector<int>{0, 33, 67, 100}));

    // Numbering starts again at 1 on every run.
    std::vector<ds::FileRow> again;
    EXPECT_EQ(scan(again), ds::ScanEnd::finished);
    expect_rows(again, expected.size());
}

TEST_F(DeletedFiles, DeletedDirectoriesAreRowsOnlyWhenAskedFor) {
    build();
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    ASSERT_EQ(store.scan_deleted([](int) { return true; }, [&](const ds::FileRow& r) { rows.push_back(r); }, true).end,
              ds::ScanEnd::finished);
    // The files as before, the directory in its place in the walk, all
    // numbered together.
    std::vector<uint32_t> ids;
    for (const Expected& e : expected) ids.push_back(e.id);
    ids.insert(std::find_if(ids.begin(), ids.end(), [&](uint32_t id) {
                   return std::pair(dsb::fd_entry(id), dsb::fd_item(id)) > std::pair(dsb::fd_entry(old_dir), dsb::fd_item(old_dir));
               }),
               old_dir);
    ASSERT_EQ(rows.size(), ids.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].descriptor_id, ids[k]);
        EXPECT_EQ(rows[k].n, static_cast<int>(k + 1));
        EXPECT_EQ(rows[k].is_dir, ids[k] == old_dir);
        EXPECT_EQ(ds::file_row_cells(rows[k])[2], ids[k] == old_dir ? "DIR" : "FILE");
    }
}

TEST_F(DeletedFiles, RowKeepsTheDescriptorSoTheFileExportsWhole) {
    build();
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    ASSERT_EQ(scan(rows), ds::ScanEnd::finished);
    auto it = std::find_if(rows.begin(), rows.end(), [&](const ds::FileRow& r) { return r.descriptor_id == file_blocks_file; });
    ASSERT_NE(it, rows.end());
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, it->descriptor_id, inode), 0);
    const std::string out = dir.file("recovered.bin");
    ASSERT_EQ(ds::file_export(store, ds::file_of(inode), out).failure, ds::ExportFailure::none);
    EXPECT_EQ(dstest::read_file(out), dsb::materialize(file_blocks_object.content, 0, file_blocks_object.size));
}

TEST_F(DeletedFiles, CancelKeepsTheRowsOfTheAreasWalked) {
    build();
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(scan(rows, &gauge, 1), ds::ScanEnd::cancelled);
    EXPECT_EQ(gauge, std::vector<int>{0});
    expect_rows(rows, expected.size() - 2);   // the two in areas 2 and 3 are not reached
}

TEST_F(DeletedFiles, OneAreaShowsAFullGauge) {
    build(1);
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(scan(rows, &gauge), ds::ScanEnd::finished);
    EXPECT_EQ(gauge, std::vector<int>{100});
    expect_rows(rows, expected.size());
}

TEST_F(DeletedFiles, RefusesToRunBeforeTheDatastoreIsOpened) {
    build();
    std::vector<ds::FileRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(scan(rows, &gauge), ds::ScanEnd::not_open);
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(gauge.empty());
    EXPECT_STREQ(ds::scan_end_message(ds::ScanEnd::not_open), "please view file first");
}

TEST_F(DeletedFiles, NoAreasFinishAtOnce) {
    build();
    rectest::put_header_field(*ds, SysFile::Fdc, 24, 0);
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    std::vector<int> gauge;
    EXPECT_EQ(scan(rows, &gauge), ds::ScanEnd::finished);
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(gauge.empty());
}

TEST_F(DeletedFiles, UnreadableBitmapEntryEndsTheScanVisiblyAndKeepsRows) {
    build();
    // The header claims more areas than the file holds: the fifth area's
    // first entry lies past the end of ".fdc.sf".
    rectest::put_header_field(*ds, SysFile::Fdc, 24, 6);
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    std::vector<int> gauge;
    const ds::ScanEnd end = scan(rows, &gauge);
    EXPECT_EQ(end, ds::ScanEnd::bitmap_read_failed);
    expect_rows(rows, expected.size());
    EXPECT_EQ(gauge, (std::vector<int>{0, 20, 40, 60}));
    EXPECT_STRNE(ds::scan_end_message(end), "finish");
    EXPECT_STRNE(ds::scan_end_message(end), "");
}

TEST_F(DeletedFiles, UnreadableFreeDescriptorEndsWithRinodeGetError) {
    build();
    // ".fdc.sf" cut short where the descriptors of area 2 begin: its entries
    // are still read, the first free descriptor there is not.
    const uint64_t cut = 65536 + 2 * ds->geometry(SysFile::Fdc).area_size() + 16 * 1024;
    rectest::put64(*ds, ds->item_lv_offset(ds->system_file(SysFile::Fdc)) + fd::kSize, cut);
    ASSERT_TRUE(open_datastore(store, *ds));
    std::vector<ds::FileRow> rows;
    const ds::ScanEnd end = scan(rows);
    EXPECT_EQ(end, ds::ScanEnd::descriptor_read_failed);
    EXPECT_STREQ(ds::scan_end_message(end), "rinode get error");
    expect_rows(rows, expected.size() - 2);
}

} // namespace
