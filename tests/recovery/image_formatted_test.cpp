// Format recovery over built datastores: which old directories are found,
// their numbering and substituted first blocks, and reading them afterwards.
#include "vmfs/store.h"
#include "recovery/formatted_dirs.h"
#include "recovery_images.h"
#include "builder/scenarios.h"
#include "builder/records.h"
#include "disk/disk_read.h"
#include "vmfs/blockid.h"
#include "export/file_export.h"
#include "vmfs/fs.h"
#include "vmfs/inode.h"
#include "vmfs/le.h"
#include "support/listing.h"
#include "text/messages.h"

#include <algorithm>
#include <map>

namespace {

using namespace dsb::layout;
using dsb::SysFile;

// The search one directory at a time, the slow way: the first free
// sub-block (walk order) that begins with a "." entry of type 2 naming
// dir_id; 0 when there is none. The scan's single pass must agree with it.
uint32_t find_dir_subblock(ds::Datastore& store, uint32_t dir_id) {
    const ds::Bitmap& sbc = ds::internals(store).fs.sbc;
    std::vector<uint8_t> item(static_cast<size_t>(std::max(sbc.header.item_size, 0)));
    uint32_t found = 0;
    auto visit = [&](uint32_t entry, uint32_t index) {
        if (!ds::bitmap_read_item(store, sbc, entry, index, item)) return ds::Visit::next;
        // The type and block id of the first entry held there: a "." of a
        // directory that names dir_id.
        if (item.size() >= 8 && ds::load_le<uint32_t>(item, 0) == ds::kTypeDir && ds::load_le<uint32_t>(item, 4) == dir_id) {
            found = ds::sb_build(entry, index);
            return ds::Visit::stop_walk;
        }
        return ds::Visit::next;
    };
    // No progress: the search runs inside one step of the outer scan. An
    // unreadable entry of the sub-block bitmap only hides its own items.
    ds::scan_free_items(store, sbc, visit, nullptr, ds::EntryFailure::skip_entry);
    return found;
}

std::vector<ds::FoundDir> run(ds::Datastore& store, ds::ScanEnd* end = nullptr, std::vector<int>* gauge = nullptr) {
    std::vector<ds::FoundDir> rows;
    ds::ScanResult<ds::FoundDir> found = ds::scan_formatted_dirs(
        store,
        [&](int g) {
            if (gauge) gauge->push_back(g);
            return true;
        },
        [&](const ds::FoundDir& d) { rows.push_back(d); });
    // Kept where the "DIR<n>" readers look for them, as the front ends do.
    ds::internals(store).found_dirs = found.rows;
    if (end) *end = found.end;
    return rows;
}

const ds::ListedEntry* entry_named(const ds::Listing& l, const std::string& name) {
    for (const ds::ListedEntry& e : l.entries)
        if (e.name == name) return &e;
    return nullptr;
}

std::vector<uint8_t> export_bytes(ds::Datastore& store, uint32_t id, const dstest::TempDir& dir) {
    ds::Descriptor inode;
    EXPECT_EQ(ds::inode_get(store, id, inode), 0);
    const std::string out = dir.file("export.bin");
    EXPECT_EQ(ds::file_export(store, ds::file_of(inode), out).failure, ds::ExportFailure::none);
    return dstest::read_file(out);
}

class FormattedScenario : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

TEST_F(FormattedScenario, FindsTheOldDirectoriesBelowTheRoot) {
    dsb::FormattedSummary sum = dsb::build_formatted(dir.path().string());
    ASSERT_TRUE(rectest::open_images(store, sum.images, sum.start_sector));
    ds::ScanEnd end{};
    std::vector<int> gauge;
    std::vector<ds::FoundDir> rows = run(store, &end, &gauge);
    EXPECT_EQ(end, ds::ScanEnd::finished);
    EXPECT_FALSE(gauge.empty());
    EXPECT_EQ(gauge.back(), 100);

    // The intact one reads its own first block; the reused one the first
    // free sub-block that holds its "." (not the later, shorter copy nor
    // the decoy of type 3 before it). The deep one and the lost one are not
    // listed, nor the old files in free slots.
    ASSERT_EQ(rows.size(), sum.found.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        SCOPED_TRACE("DIR" + std::to_string(k + 1));
        EXPECT_EQ(rows[k].number, static_cast<int32_t>(sum.found[k].number));
        EXPECT_EQ(rows[k].dir_id, sum.found[k].dir_id);
        EXPECT_EQ(rows[k].first_block, sum.found[k].first_block);
    }
    ASSERT_EQ(ds::internals(store).found_dirs.size(), rows.size());
    for (size_t k = 0; k < rows.size(); ++k) EXPECT_EQ(ds::internals(store).found_dirs[k].dir_id, rows[k].dir_id);
    EXPECT_EQ(ds::found_dir_first_block(store, 1), -1);
    EXPECT_EQ(ds::found_dir_first_block(store, 2), int64_t{sum.copy_block});
    EXPECT_NE(sum.copy_block, sum.later_copy_block);
    // The scan answers from one pass over the sub-blocks; the search for a
    // single directory must agree with it.
    for (const ds::FoundDir& rec : rows) {
        if (rec.first_block != -1) {
            EXPECT_EQ(find_dir_subblock(store, rec.dir_id), static_cast<uint32_t>(rec.first_block));
        }
    }

    // A second run builds the table anew rather than adding to it.
    std::vector<ds::FoundDir> again = run(store, &end);
    EXPECT_EQ(end, ds::ScanEnd::finished);
    EXPECT_EQ(again.size(), rows.size());
    EXPECT_EQ(ds::internals(store).found_dirs.size(), rows.size());
}

TEST_F(FormattedScenario, FilesBehindASubstitutedFirstBlockExportByteForByte) {
    dsb::FormattedSummary sum = dsb::build_formatted(dir.path().string());
    ASSERT_TRUE(rectest::open_images(store, sum.images, sum.start_sector));
    ASSERT_EQ(run(store).size(), 2u);

    // Read as it stands, the reused directory shows the new file's bytes,
    // not its old entries; with the found sub-block in place it lists them.
    EXPECT_EQ(entry_named(ds::list_directory(store, sum.reused_dir), "vm-old-flat.vmdk"), nullptr);
    ds::Listing old = ds::list_directory(store, sum.reused_dir, ds::found_dir_first_block(store, 2));
    ASSERT_EQ(old.status, ds::ListStatus::complete);
    const ds::ListedEntry* disk = entry_named(old, "vm-old-flat.vmdk");
    ASSERT_NE(disk, nullptr);
    EXPECT_FALSE(disk->is_dir);
    EXPECT_NE(entry_named(old, "vm-old.vmx"), nullptr);
    EXPECT_EQ(disk->descriptor_id, sum.file_in_reused.id);
    EXPECT_EQ(export_bytes(store, disk->descriptor_id, dir), dsb::materialize(sum.file_in_reused.content, 0, sum.file_in_reused.size));

    // Deeper directories are reached by expanding their parents.
    ds::Listing intact = ds::list_directory(store, sum.intact_dir, ds::found_dir_first_block(store, 1));
    const ds::ListedEntry* archive = entry_named(intact, "archive");
    ASSERT_NE(archive, nullptr);
    EXPECT_TRUE(archive->is_dir);
    ds::Listing deep = ds::list_directory(store, archive->descriptor_id);
    const ds::ListedEntry* log = entry_named(deep, "2009.log");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(export_bytes(store, log->descriptor_id, dir), dsb::materialize(sum.file_in_deep.content, 0, sum.file_in_deep.size));
}

TEST_F(FormattedScenario, RefusesToRunBeforeTheDatastoreIsOpened) {
    dsb::FormattedSummary sum = dsb::build_formatted(dir.path().string());
    ASSERT_TRUE(rectest::open_images(store, sum.images, sum.start_sector));
    ASSERT_EQ(run(store).size(), 2u);
    new_store();
    ds::ScanEnd end{};
    std::vector<int> gauge;
    EXPECT_TRUE(run(store, &end, &gauge).empty());
    EXPECT_EQ(end, ds::ScanEnd::not_open);
    EXPECT_TRUE(gauge.empty());
    EXPECT_TRUE(ds::internals(store).found_dirs.empty());   // closing the file system forgot them
}

// Twelve old directories below the root, and one below one of them, after a
// reformat. Three had their first sub-block reused and survive as copies in
// free sub-blocks; two are damaged so that their first entries cannot be
// read in full.
class ManyOldDirs : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;
    std::vector<uint32_t> old;                    // d1 .. d12
    std::map<uint32_t, uint32_t> copies;          // dir id -> sub-block that holds its entries
    std::vector<std::pair<uint32_t, int64_t>> found;   // what the scan must report, in order
    uint32_t unreadable_first = 0, short_dir = 0;

    void build() {
        dsb::DatastoreOptions o;
        o.path = dir.file("many.img");
        ds = std::make_unique<dsb::ImageBuilder>(o);
        for (int k = 1; k <= 12; ++k) {
            const std::string p = "/d" + std::to_string(k);
            old.push_back(ds->mkdir(p));
            ds->add_file(p + "/f.txt", dsb::text_file("file of " + p + "\n"));
        }
        ds->mkdir("/d2/below");
        std::vector<std::vector<uint8_t>> bytes;
        for (uint32_t id : old) bytes.push_back(ds->directory_bytes(id));
        for (int k = 1; k <= 12; ++k) ds->remove("/d" + std::to_string(k));

        for (int k : {3, 7, 12}) {
            const uint32_t id = old[k - 1];
            dsb::FileSpec over = dsb::text_file(std::string(2000, 'x'), dsb::Storage::SubBlocks);
            over.sub_blocks = {ds->info(id).data_ids.at(0)};
            ds->add_file("/new/over" + std::to_string(k), over);
            const uint32_t copy = ds->unused(SysFile::Sbc);
            ds->write_item(copy, 0, bytes[k - 1]);
            copies[id] = copy;
        }
        unreadable_first = old[4];   // d5: its first block lies beyond the volume
        dsb::DescriptorFields d;
        d.id = unreadable_first;
        d.type = kTypeDirectory;
        d.size = 3 * kDirentSize;
        d.block_size = static_cast<int64_t>(kMiB);
        d.addr_mode = kAddrFileBlocks;
        d.blocks[0] = dsb::fb_build(0x3FFFFFF);
        ds->write_descriptor(unreadable_first, d);
        short_dir = old[8];          // d9: only its "." entry is left
        rectest::put64(*ds, ds->item_lv_offset(short_dir) + fd::kSize, kDirentSize);
        ds->finish();

        for (uint32_t id : old) {
            if (id == unreadable_first || id == short_dir) continue;
            found.push_back({id, copies.count(id) ? int64_t{copies[id]} : -1});
        }
    }

    void expect_found(const std::vector<ds::FoundDir>& rows, size_t count) {
        ASSERT_EQ(rows.size(), count);
        for (size_t k = 0; k < count; ++k) {
            SCOPED_TRACE("DIR" + std::to_string(k + 1));
            EXPECT_EQ(rows[k].number, static_cast<int32_t>(k + 1));
            EXPECT_EQ(rows[k].dir_id, found[k].first);
            EXPECT_EQ(ds::found_dir_first_block(store, static_cast<int32_t>(k + 1)), found[k].second);
            ds::Listing l = ds::list_directory(store, rows[k].dir_id, ds::found_dir_first_block(store, rows[k].number));
            EXPECT_EQ(l.status, ds::ListStatus::complete);
            EXPECT_NE(entry_named(l, "f.txt"), nullptr);
        }
    }
};

TEST_F(ManyOldDirs, NumbersInWalkOrderAndPassesOverUnreadableCandidates) {
    build();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    ds::ScanEnd end{};
    std::vector<ds::FoundDir> rows = run(store, &end);
    EXPECT_EQ(end, ds::ScanEnd::finished);
    expect_found(rows, 10);
    // Numbers that name no record give the directory's own first block.
    EXPECT_EQ(ds::found_dir_first_block(store, 0), -1);
    EXPECT_EQ(ds::found_dir_first_block(store, 11), -1);
    EXPECT_EQ(ds::found_dir_first_block(store, -3), -1);
}

TEST_F(ManyOldDirs, StopsAtItsBoundsKeepingWhatWasFoundBefore) {
    build();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    struct Case {
        ds::FoundDirBounds bounds;
        size_t rows;
        ds::ScanEnd end;
    };
    // d3 is the first of the ten that needs the copy in a free sub-block: with
    // no room in the index nothing says whether it has one, so the scan stops
    // there rather than pass it over.
    const Case cases[] = {
        {{1, 1u << 22}, 1, ds::ScanEnd::row_limit},
        {{9, 1u << 22}, 9, ds::ScanEnd::row_limit},
        {{10, 1u << 22}, 10, ds::ScanEnd::finished},
        {{1 << 20, 0}, 2, ds::ScanEnd::row_limit},
        {{1 << 20, 64}, 10, ds::ScanEnd::finished},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bounds.rows) + " rows, " + std::to_string(c.bounds.dot_entries) + " ids");
        std::vector<ds::FoundDir> rows;
        ds::ScanResult<ds::FoundDir> r = ds::scan_formatted_dirs(
            store, [](int) { return true; }, [&](const ds::FoundDir& d) { rows.push_back(d); }, c.bounds);
        ds::internals(store).found_dirs = r.rows;
        EXPECT_EQ(r.end, c.end);
        EXPECT_EQ(r.rows.size(), rows.size());
        expect_found(rows, c.rows);
    }
    EXPECT_STREQ(ds::scan_end_message(ds::ScanEnd::row_limit), "too many rows found, scan stopped early");
}

TEST_F(ManyOldDirs, UnreadableFreeDescriptorEndsWithRinodeGetErrorKeepingWhatWasFound) {
    build();
    // ".fdc.sf" cut where the descriptors of its second area begin; every
    // old directory lies in the first.
    const uint64_t cut = 65536 + ds->geometry(SysFile::Fdc).area_size() + 16 * 1024;
    rectest::put64(*ds, ds->item_lv_offset(ds->system_file(SysFile::Fdc)) + fd::kSize, cut);
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    ds::ScanEnd end{};
    std::vector<ds::FoundDir> rows = run(store, &end);
    EXPECT_EQ(end, ds::ScanEnd::descriptor_read_failed);
    EXPECT_STREQ(ds::scan_end_message(end), "rinode get error");
    expect_found(rows, 10);
    EXPECT_EQ(ds::internals(store).found_dirs.size(), 10u);
}

// Old directories whose reused first sub-blocks lie all over ".sbc.sf" and
// whose copies were kept in the reverse order of their descriptors: one at a
// time, each candidate sends the reads back and forth across the file.
class FormattedReads : public dstest::WithDatastore {};

TEST_F(FormattedReads, EveryChunkOfTheSystemFilesIsReadOnce) {
    dstest::TempDir dir;
    dsb::DatastoreOptions o;
    o.path = dir.file("spread.img");
    o.sbc.item_size = 65536;
    o.sbc.area_count = 4;
    dsb::ImageBuilder ds(o);
    constexpr uint32_t kDirs = 160;
    std::vector<uint32_t> old;
    for (uint32_t i = 0; i < kDirs; ++i) {
        old.push_back(ds.mkdir("/old-" + std::to_string(i), dsb::Storage::SubBlocks));
        ds.unused(SysFile::Sbc);
        ds.unused(SysFile::Sbc);
    }
    std::vector<std::vector<uint8_t>> bytes;
    for (uint32_t i = 0; i < kDirs; ++i) {
        bytes.push_back(ds.directory_bytes(old[i]));
        ds.remove("/old-" + std::to_string(i));
    }
    const auto junk = dsb::encode_dirent(kTypeRegular, 0x12345, 0, "reused");
    for (uint32_t id : old) {
        const uint32_t first = ds.info(id).data_ids.at(0);
        ds.set_free(first, false);
        ds.write_item(first, 0, junk);
    }
    std::map<uint32_t, uint32_t> copy;
    for (uint32_t i = kDirs; i-- > 0;) {
        copy[old[i]] = ds.unused(SysFile::Sbc);
        ds.write_item(copy[old[i]], 0, bytes[i]);
    }
    ds.finish();

    ASSERT_TRUE(rectest::open_datastore(store, ds));
    const ds::FileSystem& fs = ds::internals(store).fs;
    const int64_t chunks = (fs.sbc.inode.size + fs.fdc.inode.size) / ds::kChunkSize + 2;
    ds::internals(store).disk.reset();
    std::vector<ds::FoundDir> rows;
    ds::ScanResult<ds::FoundDir> r = ds::scan_formatted_dirs(
        store, [](int) { return true; }, [&](const ds::FoundDir& d) { rows.push_back(d); });
    const int64_t reads = ds::internals(store).disk.chunk_reads();
    const int64_t read_bytes = ds::internals(store).disk.bytes_read();
    EXPECT_EQ(r.end, ds::ScanEnd::finished);
    ASSERT_EQ(rows.size(), size_t{kDirs});
    for (uint32_t i = 0; i < kDirs; ++i) {
        EXPECT_EQ(rows[i].number, static_cast<int32_t>(i + 1));
        EXPECT_EQ(rows[i].dir_id, old[i]);
        EXPECT_EQ(rows[i].first_block, static_cast<int32_t>(copy[old[i]]));
    }
    // Where the runs of the window over ".fdc.sf" meet an area, and where the
    // first block read before the walk began, a chunk may be read twice. The
    // directories' sub-blocks are read alone (64 KiB each) where no cached
    // chunk holds them: the bytes count, not the reads.
    EXPECT_LE(read_bytes, (chunks + chunks / 10) * ds::kChunkSize)
        << "the two system files hold " << chunks - 2 << " chunks; " << reads << " reads";
}

// An old directory kept in a file block that the new file system reused, with
// its entries surviving in a free sub-block of the second area of ".sbc.sf".
class SubBlockSearch : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::unique_ptr<dsb::ImageBuilder> ds;
    uint32_t old_dir = 0, copy = 0;

    void build() {
        dsb::DatastoreOptions o;
        o.path = dir.file("search.img");
        o.sbc.area_count = 2;
        ds = std::make_unique<dsb::ImageBuilder>(o);
        old_dir = ds->mkdir("/kept", dsb::Storage::FileBlocks);
        ds->add_file("/kept/a.txt", dsb::text_file("a\n"));
        const std::vector<uint8_t> bytes = ds->directory_bytes(old_dir);
        ds->remove("/kept");
        dsb::FileSpec over = dsb::generated_file(4096, dsb::pattern_content(3), dsb::Storage::FileBlocks);
        over.file_blocks = {dsb::fb_number(ds->info(old_dir).data_ids.at(0))};
        ds->add_file("/new/over.bin", over);
        copy = dsb::sb_build(16, 0);   // entry 16 opens the second area
        ds->write_item(copy, 0, bytes);
        ds->finish();
    }
};

TEST_F(SubBlockSearch, FindsACopyInALaterArea) {
    build();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    EXPECT_EQ(find_dir_subblock(store, old_dir), copy);
    EXPECT_EQ(find_dir_subblock(store, ds::fd_build(100, 1)), 0u);
}

TEST_F(SubBlockSearch, PassesOverAnUnreadableEntryOfTheSubBlockBitmap) {
    build();
    ASSERT_TRUE(rectest::open_datastore(store, *ds));
    // The block of ".sbc.sf" that holds the entries of its first area can no
    // longer be read (it now names a block past the end of the volume); the
    // header was read when the file system was opened.
    ds::internals(store).fs.sbc.inode.blocks[0] = ds::fb_build(0x3FFFFFF);
    EXPECT_EQ(find_dir_subblock(store, old_dir), copy);
    ds::ScanEnd end{};
    std::vector<ds::FoundDir> rows = run(store, &end);
    EXPECT_EQ(end, ds::ScanEnd::finished);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dir_id, old_dir);
    EXPECT_EQ(rows[0].first_block, static_cast<int32_t>(copy));
    EXPECT_NE(entry_named(ds::list_directory(store, old_dir, ds::found_dir_first_block(store, 1)), "a.txt"), nullptr);
}

} // namespace
