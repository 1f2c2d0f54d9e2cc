// Exports of descriptors whose size and block size are absurd: the copy ends
// at what the block list can address with the volume's real block size, never
// stores more data than the volume holds, and the folder export's byte counts
// stay in range however large the sizes it adds up.

#include "vmfs/store.h"
#include "hostile_images.h"

#include "export/file_export.h"
#include "export/folder_export.h"
#include "text/messages.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace layout = dsb::layout;
using hostile::make;
using hostile::put;

constexpr uint64_t kMiB = layout::kMiB;
// Far past any bound below: a copy that gets here has no bound at all.
constexpr int64_t kRunaway = int64_t{1} << 30;

class ExportBounds : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::string img = dir.file("d.img");
    std::string sink = dir.file("out.bin");

    std::string open() {
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        EXPECT_EQ(ds::add_disk(store, img, 2048, &why), 0);
        return ds::open_message(ds::fs_open(store).failure);
    }
    // Stops a copy that runs past kRunaway, so that a lost bound fails the
    // test instead of filling the disk.
    ds::ExportResult export_id(uint32_t id) {
        ds::Descriptor inode;
        EXPECT_EQ(ds::inode_get(store, id, inode), 0);
        return ds::file_export(store, ds::file_of(inode), sink, [](int64_t done, int64_t) { return done <= kRunaway; });
    }
};

// Nothing but holes under a block size of 2^40 and a size of 2^62: one slot
// would cover a tebibyte of zeros. With the volume's real block size the 256
// slots reach 256 blocks, and the export stops there and says so.
TEST_F(ExportBounds, AHugeBlockSizeEndsTheCopyAtWhatTheSlotsAddress) {
    uint32_t f = 0;
    int64_t block = 0;
    make(img, [&](dsb::ImageBuilder& ds) {
        f = ds.add_file("/f.bin", dsb::generated_file(3 * kMiB, dsb::pattern_content(4), dsb::Storage::FileBlocks));
        block = static_cast<int64_t>(ds.block_size());
    }, [&](dsb::ImageBuilder& ds) {
        const uint64_t d = ds.item_lv_offset(f);
        put<int64_t>(ds, d + layout::fd::kSize, int64_t{1} << 62);
        put<int64_t>(ds, d + layout::fd::kBlockSize, int64_t{1} << 40);
        ds.write_lv(d + layout::fd::kBlocks, std::vector<uint8_t>(4 * 256, 0));
    });
    ASSERT_EQ(open(), "");
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, f, inode), 0);
    EXPECT_EQ(ds::file_extent(store, inode), 256 * block);

    const ds::ExportResult r = export_id(f);
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ds::ExportFailure::past_addressable);
    EXPECT_EQ(r.bytes_written, 256 * block);
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(sink)), 256 * block);
}

// Every slot names the same 8 MiB block and the size says all 256 of them
// are data: 2 GiB stored on a volume that holds less. The copy stops at what
// the volume can hold instead of reporting the repeats as the file.
TEST_F(ExportBounds, ABlockNamedOverAndOverStopsAtWhatTheVolumeHolds) {
    uint32_t f = 0;
    make(img, [&](dsb::ImageBuilder& ds) {
        f = ds.add_file("/f.bin", dsb::generated_file(8 * kMiB, dsb::pattern_content(6), dsb::Storage::FileBlocks));
    }, [&](dsb::ImageBuilder& ds) {
        const uint64_t d = ds.item_lv_offset(f);
        std::vector<uint8_t> slots(4 * 256);
        for (size_t k = 0; k < 256; ++k) dsb::put_le<uint32_t>(slots, 4 * k, ds.info(f).data_ids.at(0));
        ds.write_lv(d + layout::fd::kBlocks, slots);
        put<int64_t>(ds, d + layout::fd::kSize, int64_t{256} * 8 * kMiB);
    }, [](dsb::DatastoreOptions& o) { o.block_size = 8 * kMiB; });
    ASSERT_EQ(open(), "");
    const int64_t capacity = ds::lvm_capacity(store);
    ASSERT_GT(capacity, 0);
    ASSERT_LT(capacity, int64_t{256} * 8 * kMiB);

    const ds::ExportResult r = export_id(f);
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ds::ExportFailure::past_volume);
    EXPECT_EQ(r.bytes_written, capacity);
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(sink)), capacity);
}

// A thin file larger than the volume is real: its holes are not stored data,
// and it is copied whole.
TEST_F(ExportBounds, AThinFileLargerThanTheVolumeIsCopiedWhole) {
    uint32_t f = 0;
    const int64_t size = int64_t{300} * kMiB + 5;
    make(img, [&](dsb::ImageBuilder& ds) {
        f = ds.add_file("/thin.bin", dsb::generated_file(2 * kMiB, dsb::pattern_content(2), dsb::Storage::PointerBlocks));
    }, [&](dsb::ImageBuilder& ds) { put<int64_t>(ds, ds.item_lv_offset(f) + layout::fd::kSize, size); });
    ASSERT_EQ(open(), "");
    ASSERT_LT(ds::lvm_capacity(store), size);
    const ds::ExportResult r = export_id(f);
    EXPECT_EQ(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.bytes_written, size);
}

// Three files of 2^62 bytes each: their sizes add up past 2^63. The total
// and every progress count stay between 0 and that total, and never go back.
TEST_F(ExportBounds, FolderProgressSaturatesInsteadOfOverflowing) {
    uint32_t vm = 0;
    std::vector<uint32_t> files;
    make(img, [&](dsb::ImageBuilder& ds) {
        vm = ds.mkdir("/vm", dsb::Storage::FileBlocks);
        for (const char* name : {"/vm/a.bin", "/vm/b.bin", "/vm/c.bin"})
            files.push_back(ds.add_file(name, dsb::generated_file(2 * kMiB, dsb::pattern_content(1), dsb::Storage::FileBlocks)));
    }, [&](dsb::ImageBuilder& ds) {
        for (uint32_t f : files) {
            const uint64_t d = ds.item_lv_offset(f);
            put<int64_t>(ds, d + layout::fd::kSize, int64_t{1} << 62);
            // A 64 KiB slot keeps each copy short: 256 slots reach 16 MiB.
            put<int64_t>(ds, d + layout::fd::kBlockSize, int64_t{65536});
            ds.write_lv(d + layout::fd::kBlocks, std::vector<uint8_t>(4 * 256, 0));
        }
    });
    ASSERT_EQ(open(), "");
    std::vector<std::pair<int64_t, int64_t>> seen;
    ds::FolderExportOptions o;
    o.progress = [&](int64_t done, int64_t total) {
        seen.emplace_back(done, total);
        return true;
    };
    const ds::FolderExportResult r = ds::folder_export(store, ds::Node{vm, -1}, dir.file("copy"), o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << ds::folder_refusal_message(r.refused, r.refused_path, r.sys_errno);
    ASSERT_FALSE(seen.empty());
    int64_t last = 0;
    for (const auto& [done, total] : seen) {
        EXPECT_EQ(total, INT64_MAX);
        EXPECT_GE(done, last);
        EXPECT_LE(done, total);
        last = done;
    }
    int partial = 0;
    for (const ds::FolderItem& it : r.items)
        if (!it.is_dir) {
            EXPECT_EQ(it.bytes_written, 16 * int64_t(kMiB)) << it.path;
            partial += it.status == ds::FolderItemStatus::partial;
        }
    EXPECT_EQ(partial, 3);
}

} // namespace
