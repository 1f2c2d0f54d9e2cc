// Every block size a datastore can have, at partition starts other than 2048
// and on two members: opening, listing, export in every addressing mode, the
// three scans and the format recovery's first-block substitution.

#include "vmfs/store.h"
#include "recovery/deleted_files.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "text/row_text.h"
#include "support/matrix_cells.h"
#include "support/formatted.h"
#include "support/open_images.h"
#include "support/test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/detect.h"
#include "export/file_export.h"
#include "vmfs/inode.h"
#include "support/listing.h"
#include "vmfs/volume.h"

namespace {

using namespace ds;

class Matrix : public dstest::WithDatastore, public ::testing::WithParamInterface<dstest::MatrixCell> {
protected:
    dstest::TempDir dir;

    std::vector<uint8_t> exported(uint32_t id, int64_t first_block = -1) {
        Descriptor inode;
        EXPECT_EQ(inode_get(store, id, inode), 0);
        if (first_block != -1) inode.blocks[0] = static_cast<uint32_t>(first_block);
        const std::string out = dir.file("export.bin");
        EXPECT_EQ(file_export(store, ds::file_of(inode), out).failure, ds::ExportFailure::none);
        return dstest::read_file(out);
    }
    static std::vector<std::string> names(const Listing& l) {
        std::vector<std::string> out;
        for (const ListedEntry& e : l.entries) out.push_back(e.name + (e.is_dir ? "/" : ""));
        return out;
    }
};

TEST_P(Matrix, OpensListsAndExportsEveryAddressingMode) {
    const dsb::MatrixSummary m = dsb::build_matrix(dir.path().string(), GetParam().options());
    const dstest::Opened open = dstest::open_images(store, m);
    ASSERT_EQ(open.message, "");
    ASSERT_TRUE(open.completed);
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, static_cast<int>(m.images.size()));
    EXPECT_EQ(open.info_lines.at(6 + m.images.size() - 1), "blocksize:" + std::to_string(m.block_size));
    EXPECT_EQ(ds::internals(store).fs.fbb.header.item_size, static_cast<int32_t>(m.block_size));   // as real datastores carry it

    const Listing root = list_directory(store, kRootDirId);
    EXPECT_EQ(root.status, ListStatus::complete);
    const std::vector<std::string> root_names = names(root);
    for (const char* want : {"vm/", "new/", "high/", ".fbb.sf", ".sbc.sf"})
        EXPECT_NE(std::ranges::find(root_names, want), root_names.end()) << want;
    EXPECT_EQ(names(list_directory(store, m.ids.at("/vm"))),
              (std::vector<std::string>{"vm.vmx", "vm.log", "vm-flat.vmdk", "thin-direct.vmdk", "thin-pointer.vmdk",
                                        "span.bin", "vm.nvram"}));
    ASSERT_GT(m.high_dir.id, 0x80000000u);
    ASSERT_GT(m.high_file.id, 0x80000000u);
    EXPECT_EQ(names(list_directory(store, m.high_dir.id)), std::vector<std::string>{"high.bin"});
    EXPECT_EQ(list_directory(store, m.high_dir.id).entries.at(0).descriptor_id, m.high_file.id);

    for (const dsb::ObjectExpect* o : {&m.inline_file, &m.subblock_file, &m.fileblock_file, &m.pointer_file,
                                       &m.thin_direct, &m.thin_pointer, &m.spanning, &m.high_file}) {
        SCOPED_TRACE(o->path);
        EXPECT_TRUE(exported(o->id) == dstest::expected_bytes(*o));
    }
    // The sub-block file lies at the highest items of a bitmap entry.
    EXPECT_EQ(sb_item(m.subblock_file.data_ids.at(0)), m.sub_items_per_entry - 3);
    EXPECT_TRUE(std::ranges::count(m.thin_direct.data_ids, 0u) == 2 && std::ranges::count(m.thin_pointer.data_ids, 0u) == 2);
}

TEST_P(Matrix, ScansFindTheDeletedFileTheLostDiskAndTheOldDirectories) {
    const dsb::MatrixSummary m = dsb::build_matrix(dir.path().string(), GetParam().options());
    ASSERT_EQ(dstest::open_images(store, m).message, "");
    const ScanProgress keep_going = [](int) { return true; };

    std::vector<uint32_t> deleted;
    EXPECT_EQ(scan_deleted_files(store, keep_going, [&](const FileRow& r) { deleted.push_back(r.descriptor_id); }).end,
              ScanEnd::finished);
    // The deleted file, and the files of the two old directories.
    EXPECT_EQ(deleted.size(), 3u);
    for (uint32_t id : {m.deleted_file.id, m.file_in_reused.id})
        EXPECT_NE(std::ranges::find(deleted, id), deleted.end()) << id;
    EXPECT_TRUE(exported(m.deleted_file.id) == dstest::expected_bytes(m.deleted_file));

    std::vector<PartitionRow> disks;
    EXPECT_EQ(scan_lost_vmdks(store, keep_going, [&](const PartitionRow& r) { disks.push_back(r); }).end, ScanEnd::finished);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(ds::partition_row_cells(disks[0])[2], "LINUX");
    EXPECT_EQ(ds::partition_row_cells(disks[0])[3], std::to_string(m.lost_disks[0].total_kib / 1048576) + "GB");

    std::vector<FoundDir> found;
    EXPECT_EQ(dstest::find_formatted(store, keep_going, [&](const FoundDir& d) { found.push_back(d); }), ScanEnd::finished);
    ASSERT_EQ(found.size(), m.found.size());
    for (size_t k = 0; k < found.size(); ++k) {
        EXPECT_EQ(found[k].number, static_cast<int32_t>(m.found[k].number));
        EXPECT_EQ(found[k].dir_id, m.found[k].dir_id);
        EXPECT_EQ(found[k].first_block, m.found[k].first_block);
    }
    // The directory whose first block was reused is read from the surviving
    // copy, at the highest item of its bitmap entry.
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(sb_item(static_cast<uint32_t>(found[1].first_block)), m.sub_items_per_entry - 1);
    const Listing reused = list_directory(store, found[1].dir_id, found_dir_first_block(store, 2));
    EXPECT_EQ(names(reused), std::vector<std::string>{"disk.vmdk"});
    ASSERT_EQ(reused.entries.size(), 1u);
    EXPECT_EQ(reused.entries[0].descriptor_id, m.file_in_reused.id);
    EXPECT_TRUE(exported(m.file_in_reused.id) == dstest::expected_bytes(m.file_in_reused));
}

// Detection finds each member at its own partition start and joins them.
TEST_P(Matrix, DetectionGivesEachMemberItsOwnStartSector) {
    const dsb::MatrixSummary m = dsb::build_matrix(dir.path().string(), GetParam().options());
    std::vector<std::string> reversed(m.images.rbegin(), m.images.rend());
    const Detection d = detect_candidates(store, reversed);
    ASSERT_EQ(d.candidates.size(), m.images.size());
    for (const VolumeMember& c : d.candidates) {
        const auto k = static_cast<size_t>(std::ranges::find(m.images, c.device) - m.images.begin());
        ASSERT_LT(k, m.images.size());
        EXPECT_EQ(c.start_sector, m.start_sectors[k]) << c.device;
    }
    const std::vector<int> first = first_segment_candidates(d);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(assemble_volume(store, d, first[0]), AddDiskRefusal::none);
    ASSERT_EQ(ds::internals(store).lvm.loaded_extents, static_cast<int>(m.images.size()));
    for (size_t k = 0; k < m.images.size(); ++k) {
        EXPECT_EQ(ds::internals(store).lvm.volumes[k].device, m.images[k]);
        EXPECT_EQ(ds::internals(store).lvm.volumes[k].start_sector, m.start_sectors[k]);
    }
    ASSERT_EQ(fs_open(store).failure, OpenFailure::none);
    EXPECT_TRUE(exported(m.spanning.id) == dstest::expected_bytes(m.spanning));
}

INSTANTIATE_TEST_SUITE_P(Cells, Matrix, ::testing::ValuesIn(dstest::matrix_cells()),
                         [](const auto& info) { return info.param.name(); });

// One bad sector in each kind of structure, at the smallest and the largest
// block size: the bytes back are the original ones with zeros in exactly
// the unreadable sectors, and the map says exactly those.
enum class Damaged { file_block, sub_block, pointer_block, dir_block, fdc_bitmap_entry, descriptor };

struct DamageCase {
    uint64_t block_mib;
    Damaged what;
};

std::string damage_name(const DamageCase& c) {
    static const char* names[] = {"FileBlock", "SubBlock", "PointerBlock", "DirBlock", "FdcBitmapEntry", "Descriptor"};
    return std::to_string(c.block_mib) + "MiB_" + names[static_cast<int>(c.what)];
}

class DamagedMatrix : public dstest::WithDatastore, public ::testing::WithParamInterface<DamageCase> {
protected:
    dstest::TempDir dir;
    dsb::MatrixSummary m;

    void SetUp() override {
        dsb::MatrixOptions o;
        o.block_size = GetParam().block_mib << 20;
        o.sub_items_per_entry = GetParam().block_mib == 1 ? 16 : 32;
        m = dsb::build_matrix(dir.path().string(), o);
        ASSERT_EQ(m.images.size(), 1u);
        ASSERT_EQ(dstest::open_images(store, m).message, "");
    }
    // Where byte pos of a system file (or any file in file blocks) lies on the volume.
    int64_t lv_of(const Descriptor& inode, int64_t pos) {
        uint32_t id = 0;
        EXPECT_EQ(file_block_lookup(store, inode, pos, &id), 0);
        EXPECT_EQ(blkid_type(id), kBlockFile);
        return int64_t{fb_item(id)} * ds::internals(store).fs.fsinfo.blocksize + pos % inode.block_size;
    }
    // Byte pos of the file as the face places it on the volume.
    int64_t lv_in_file(uint32_t id, int64_t pos) {
        File f;
        EXPECT_TRUE(store.open_file({id, -1}, f).ok());
        for (const Extent& e : store.extents(f))
            if (e.kind == Extent::Kind::data && pos >= e.offset && pos < e.offset + e.length) return e.lv_offset + pos - e.offset;
        ADD_FAILURE() << "no data extent at " << pos;
        return 0;
    }
    // Opens the datastore again on an image whose sector at volume offset lv
    // a rescue tool's map marks bad.
    void damage_sector_at(int64_t lv) {
        LvmPlace place;
        ASSERT_TRUE(lvm_locate(store, lv, place));
        const int64_t bad = place.device_offset / 512 * 512;
        const int64_t size = static_cast<int64_t>(std::filesystem::file_size(m.images[0]));
        const std::string map = dir.file("image.map");
        std::ofstream(map) << std::hex << "# Mapfile\n0x0 +\n0x0 0x" << bad << " +\n0x" << bad << " 0x200 -\n0x"
                           << bad + 512 << " 0x" << size - bad - 512 << " +\n";
        new_store();
        ASSERT_TRUE(store.use_mapfile(m.images[0], map).ok());
        ASSERT_EQ(dstest::open_images(store, m).message, "");
    }
    // The file read through to its end around unreadable sectors.
    std::vector<uint8_t> read_rescued(uint32_t id, std::vector<ByteSpan>& unreadable) {
        File f;
        EXPECT_TRUE(store.open_file({id, -1}, f).ok());
        std::vector<uint8_t> out(static_cast<size_t>(f.size()));
        for (int64_t off = 0; off < f.size();) {
            int64_t got = 0;
            bool hole = false;
            const Status s = store.read_run(f, out.data() + off, f.size() - off, off, got, hole, unreadable);
            EXPECT_TRUE(s.ok()) << off;
            if (!s.ok() || got <= 0) break;
            if (hole) std::fill_n(out.begin() + off, got, 0);
            off += got;
        }
        return out;
    }
    void expect_file(const dsb::ObjectExpect& o, const std::vector<ByteSpan>& want) {
        std::vector<ByteSpan> unreadable;
        const std::vector<uint8_t> got = read_rescued(o.id, unreadable);
        std::vector<uint8_t> expected = dstest::expected_bytes(o);
        for (const ByteSpan& b : want) std::fill_n(expected.begin() + b.offset, b.length, 0);
        EXPECT_TRUE(got == expected);
        EXPECT_EQ(unreadable, want);
    }
    std::vector<uint32_t> deleted_ids(ScanResult<FileRow>& r) {
        r = store.scan_deleted({});
        std::vector<uint32_t> ids;
        for (const FileRow& row : r.rows) ids.push_back(row.descriptor_id);
        return ids;
    }
};

TEST_P(DamagedMatrix, EveryReadableByteComesBackAndTheMapNamesExactlyTheRest) {
    const int64_t bs = static_cast<int64_t>(m.block_size);
    switch (GetParam().what) {
    case Damaged::file_block: {
        // The sector the file ends in: only its bytes up to the end are lost.
        const int64_t at = (bs + 12345) / 512 * 512;
        ASSERT_EQ(m.fileblock_file.size, static_cast<uint64_t>(bs + 12345));
        damage_sector_at(lv_in_file(m.fileblock_file.id, at));
        expect_file(m.fileblock_file, {{at, bs + 12345 - at}});
        break;
    }
    case Damaged::sub_block: {
        // The second sub-block; at 1 MiB it straddles two blocks of ".sbc.sf",
        // so it is placed through that file, not by one volume offset.
        const int64_t at = 65536 + 1024;
        Descriptor inode;
        ASSERT_EQ(inode_get(store, m.subblock_file.id, inode), 0);
        const uint32_t sb = inode.blocks[1];
        ASSERT_EQ(blkid_type(sb), kBlockSub);
        const Bitmap& sbc = ds::internals(store).fs.sbc;
        damage_sector_at(lv_of(sbc.inode, bitmap_item_pos(sbc, sb_entry(sb), sb_item(sb)) + 1024));
        expect_file(m.subblock_file, {{at, 512}});
        break;
    }
    case Damaged::pointer_block: {
        // The sector holding the file's block ids: without them nothing says
        // where any of its blocks lies, so every one of them is lost (and
        // read as zeros, never as some other block's bytes).
        Descriptor inode;
        ASSERT_EQ(inode_get(store, m.pointer_file.id, inode), 0);
        const uint32_t pb = inode.blocks[0];
        ASSERT_EQ(blkid_type(pb), kBlockPointer);
        const Bitmap& pbc = ds::internals(store).fs.pbc;
        const int64_t pb_lv = lv_of(pbc.inode, bitmap_item_pos(pbc, pb_entry(pb), pb_item(pb)));
        damage_sector_at(pb_lv);
        expect_file(m.pointer_file, {{0, static_cast<int64_t>(m.pointer_file.size)}});
        // A file whose blocks are named elsewhere is untouched.
        expect_file(m.fileblock_file, {});
        // A bad sector of the pointer block past the ids the file uses costs
        // the file nothing: each id is read alone once the whole block fails.
        damage_sector_at(pb_lv + 512);
        expect_file(m.pointer_file, {});
        break;
    }
    case Damaged::dir_block: {
        // The directory's second sector: every entry with a byte on it is
        // passed over, the others are listed.
        const uint32_t vm = m.ids.at("/vm");
        damage_sector_at(lv_in_file(vm, 512));
        store.set_list_rescue(true);
        DirLister l = store.list({vm, -1});
        std::vector<std::string> got;
        for (ListedEntry e; l.next(e);) got.push_back(e.name);
        const std::vector<std::string> all = {".", "..", "vm.vmx", "vm.log", "vm-flat.vmdk", "thin-direct.vmdk",
                                              "thin-pointer.vmdk", "span.bin", "vm.nvram"};
        std::vector<std::string> want;
        int64_t first_lost = -1, last_lost = -1;
        for (int64_t k = 0; k < static_cast<int64_t>(all.size()); ++k) {
            if (k * kDirentBytes + kDirentBytes <= 512 || k * kDirentBytes >= 1024) {
                if (k >= 2) want.push_back(all[static_cast<size_t>(k)]);
            } else {
                if (first_lost < 0) first_lost = k;
                last_lost = k;
            }
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(l.status(), ListStatus::complete);
        EXPECT_EQ(l.skipped_entries(), last_lost - first_lost + 1);
        const std::vector<ByteSpan> spans = {{first_lost * kDirentBytes, (last_lost - first_lost + 1) * kDirentBytes}};
        EXPECT_EQ(l.skipped(), spans);
        break;
    }
    case Damaged::fdc_bitmap_entry:
    case Damaged::descriptor: {
        store.set_scan_rescue(true);
        ScanResult<FileRow> clean;
        const std::vector<uint32_t> before = deleted_ids(clean);
        ASSERT_EQ(before.size(), 3u);
        const uint32_t hit = m.deleted_file.id;
        const Bitmap& fdc = ds::internals(store).fs.fdc;
        const BitmapHeader& h = fdc.header;
        std::vector<uint32_t> want;
        SkippedArea area{SkippedIn::fdc, 0, 0};
        if (GetParam().what == Damaged::fdc_bitmap_entry) {
            // Nothing then says which of the entry's slots are free.
            const uint32_t entry = fd_entry(hit);
            area.offset = h.header_size + int64_t{entry / h.entries_per_area} * h.area_size +
                          int64_t{entry % h.entries_per_area} * kBitmapEntryBytes;
            area.length = kBitmapEntryBytes;
            for (uint32_t f : before)
                if (fd_entry(f) != entry) want.push_back(f);
        } else {
            // The sector with its id: the slot cannot be told to be a file.
            area.offset = bitmap_item_pos(fdc, fd_entry(hit), fd_item(hit)) + 512;
            area.length = 512;
            for (uint32_t f : before)
                if (f != hit) want.push_back(f);
        }
        damage_sector_at(lv_of(fdc.inode, area.offset));
        store.set_scan_rescue(true);
        ScanResult<FileRow> rescued;
        EXPECT_EQ(deleted_ids(rescued), want);
        EXPECT_EQ(rescued.end, ScanEnd::finished);
        EXPECT_EQ(rescued.unreadable, std::vector<SkippedArea>{area});
        break;
    }
    }
}

std::vector<DamageCase> damage_cases() {
    std::vector<DamageCase> out;
    for (uint64_t mib : {1, 8})
        for (Damaged d : {Damaged::file_block, Damaged::sub_block, Damaged::pointer_block, Damaged::dir_block,
                          Damaged::fdc_bitmap_entry, Damaged::descriptor})
            out.push_back({mib, d});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Cells, DamagedMatrix, ::testing::ValuesIn(damage_cases()),
                         [](const auto& info) { return damage_name(info.param); });

} // namespace
