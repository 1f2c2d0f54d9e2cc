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
#include "vmfs/blockid.h"
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

} // namespace
