// Reading every kind of file of a built datastore, through each addressing
// mode, and comparing with what the builder wrote.

#include "vmfs/store.h"
#include "support/open_images.h"
#include "support/test_support.h"
#include "export/file_export.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"
#include "vmfs/listing.h"
#include "vmfs/volume.h"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace ds;

std::vector<uint8_t> export_bytes(ds::Datastore& store, uint32_t id, const dstest::TempDir& dir, ExportResult* result = nullptr) {
    Descriptor inode;
    EXPECT_EQ(inode_get(store, id, inode), 0);
    std::string out = dir.file("export.bin");
    ExportResult r = file_export(store, ds::file_of(inode), out, {});
    if (result) *result = r;
    return dstest::read_file(out);
}

class ThinImage : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

class DemoImage : public dstest::WithDatastore, public ::testing::WithParamInterface<uint64_t> {
protected:
    dstest::TempDir dir;
};

TEST_P(DemoImage, OpensAndExportsEveryLiveFileByteForByte) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string(), GetParam());
    const dstest::Opened open = dstest::open_images(store, demo);
    ASSERT_EQ(open.message, "");
    ASSERT_TRUE(open.completed);
    EXPECT_EQ(ds::internals(store).fs.fsinfo.blocksize, static_cast<int64_t>(GetParam()));
    for (uint32_t id : {demo.inline_file, demo.subblock_file, demo.fileblock_file, demo.pointer_file,
                        demo.utf8_file}) {
        const dsb::ObjectExpect* obj = nullptr;
        for (const auto& o : demo.objects)
            if (o.id == id) obj = &o;
        ASSERT_NE(obj, nullptr);
        SCOPED_TRACE(obj->path);
        ExportResult r;
        std::vector<uint8_t> got = export_bytes(store, id, dir, &r);
        EXPECT_EQ(r.failure, ds::ExportFailure::none);
        EXPECT_EQ(got.size(), obj->size);
        EXPECT_TRUE(got == dstest::expected_bytes(*obj));
    }
}

TEST_P(DemoImage, ReadsPiecesThatCrossBlockEdges) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string(), GetParam());
    ASSERT_EQ(dstest::open_images(store, demo).message, "");
    for (uint32_t id : {demo.subblock_file, demo.fileblock_file, demo.pointer_file}) {
        const dsb::ObjectExpect& obj = *std::find_if(demo.objects.begin(), demo.objects.end(),
                                                     [&](const auto& o) { return o.id == id; });
        SCOPED_TRACE(obj.path);
        Descriptor inode;
        ASSERT_EQ(inode_get(store, id, inode), 0);
        const uint64_t unit = obj.storage == dsb::Storage::SubBlocks ? 65536 : demo.block_size;
        // Pieces of 140 bytes straddling every unit edge of the first three units.
        for (uint64_t edge = unit; edge <= 3 * unit && edge < obj.size; edge += unit) {
            uint8_t buf[140];
            int64_t at = static_cast<int64_t>(edge) - 76;
            int64_t n = std::min<int64_t>(140, static_cast<int64_t>(obj.size) - at);   // clamped at the end
            ASSERT_EQ(file_read(store, inode, buf, 140, at), n);
            EXPECT_TRUE(std::equal(buf, buf + n, dsb::materialize(obj.content, at, n).begin()));
        }
        uint8_t tail[64];
        EXPECT_EQ(file_read(store, inode, tail, 64, static_cast<int64_t>(obj.size) - 10), 10);
        EXPECT_EQ(file_read(store, inode, tail, 64, static_cast<int64_t>(obj.size)), 0);
        EXPECT_EQ(file_read(store, inode, tail, 0, 0), 0);
    }
}

// Holes of a thin file read as zeros, also where the lookup changes pointer
// block; a whole slot without a pointer block is a hole too.
TEST_F(ThinImage, ThinFileHolesReadAsZeros) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(dstest::open_images(store, demo).message, "");
    const dsb::ObjectExpect& thin = *std::find_if(demo.objects.begin(), demo.objects.end(),
                                                  [&](const auto& o) { return o.id == demo.thin_file; });
    Descriptor inode;
    ASSERT_EQ(inode_get(store, thin.id, inode), 0);
    const int64_t mib = 1048576;
    for (int64_t at : {int64_t{0}, 5 * mib - 3, 1023 * mib - 7, 1024 * mib - 70, 1100 * mib, int64_t(thin.size) - 4096}) {
        std::vector<uint8_t> buf(2 * mib);
        int64_t n = std::min<int64_t>(2 * mib, int64_t(thin.size) - at);
        ASSERT_EQ(file_read(store, inode, buf.data(), n, at), n) << at;
        buf.resize(static_cast<size_t>(n));
        EXPECT_TRUE(buf == dsb::materialize(thin.content, at, n)) << at;
    }
}

TEST_F(ThinImage, ThinFileExportsWithItsHolesLeftAsHoles) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(dstest::open_images(store, demo).message, "");
    const dsb::ObjectExpect& thin = *std::find_if(demo.objects.begin(), demo.objects.end(),
                                                  [&](const auto& o) { return o.id == demo.thin_file; });
    Descriptor inode;
    ASSERT_EQ(inode_get(store, thin.id, inode), 0);
    std::string out = dir.file("thin.vmdk");
    ASSERT_EQ(file_export(store, ds::file_of(inode), out).failure, ds::ExportFailure::none);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), thin.size);
    EXPECT_LT(st.st_blocks * 512, 64 * 1048576);   // the holes take no space
    std::ifstream in(out, std::ios::binary);
    for (uint64_t at : {uint64_t{0}, 1023 * uint64_t{1048576} - 5, 1024 * uint64_t{1048576}, thin.size - 100}) {
        std::vector<char> got(4096);
        in.seekg(static_cast<std::streamoff>(at));
        in.read(got.data(), static_cast<std::streamsize>(got.size()));
        auto n = static_cast<uint64_t>(in.gcount());
        in.clear();
        std::vector<uint8_t> want = dsb::materialize(thin.content, at, n);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), reinterpret_cast<uint8_t*>(got.data()))) << at;
    }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DemoImage, ::testing::Values(uint64_t{1} << 20, uint64_t{8} << 20));

class MultiImage : public dstest::WithDatastore {};

TEST_F(MultiImage, AFileSpanningTwoMembersExportsWhole) {
    dstest::TempDir dir;
    dsb::MultiSummary multi = dsb::build_multi(dir.path().string());
    ASSERT_EQ(multi.images.size(), 2u);
    ASSERT_EQ(dstest::open_images(store, multi).message, "");
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 2);
    std::vector<uint8_t> got = export_bytes(store, multi.spanning.id, dir);
    EXPECT_EQ(got.size(), multi.spanning.size);
    EXPECT_TRUE(got == dstest::expected_bytes(multi.spanning));
}

} // namespace

// The ranges a reader may have the kernel copy straight from an image: each
// one placed must hold exactly the file's bytes there, and a range that
// leaves its member, a hole or a sub-block is never placed.
TEST_F(MultiImage, PlacedRangesHoldTheFileBytesAndNeverCrossAMember) {
    dstest::TempDir dir;
    dsb::MultiSummary multi = dsb::build_multi(dir.path().string());
    ASSERT_EQ(dstest::open_images(store, multi).message, "");
    Descriptor inode;
    ASSERT_EQ(inode_get(store, multi.spanning.id, inode), 0);
    const auto size = static_cast<int64_t>(multi.spanning.size);
    const int64_t bs = ds::internals(store).fs.fsinfo.blocksize;
    int placed = 0, refused = 0;
    for (int64_t at = 3; at + bs / 2 <= size; at += bs / 4) {
        DevicePlace where;
        if (!file_range_place(store, inode, at, bs / 2, where)) {
            ++refused;
            continue;
        }
        ++placed;
        const int fd = ds::internals(store).disk.raw_fd(where.device);
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> got(static_cast<size_t>(bs / 2));
        ASSERT_EQ(::pread(fd, got.data(), got.size(), where.offset), static_cast<ssize_t>(got.size()));
        EXPECT_TRUE(got == dsb::materialize(multi.spanning.content, static_cast<uint64_t>(at), got.size())) << at;
    }
    EXPECT_GT(placed, 0);
    EXPECT_GT(refused, 0);   // at least where the file goes on on the second member
    DevicePlace where;
    EXPECT_FALSE(file_range_place(store, inode, 0, size, where));          // both members
    EXPECT_FALSE(file_range_place(store, inode, size - 10, 11, where));    // past the end
    EXPECT_FALSE(file_range_place(store, inode, 0, 0, where));
}

TEST_F(ThinImage, HolesAndSubBlocksAreNeverPlaced) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(dstest::open_images(store, demo).message, "");
    Descriptor thin, sub;
    ASSERT_EQ(inode_get(store, demo.thin_file, thin), 0);
    ASSERT_EQ(inode_get(store, demo.subblock_file, sub), 0);
    DevicePlace where;
    // The thin file's first mebibyte is stored, the ones after it are not.
    EXPECT_TRUE(file_range_place(store, thin, 0, 4096, where));
    EXPECT_FALSE(file_range_place(store, thin, 1048576 - 4096, 8192, where));
    EXPECT_FALSE(file_range_place(store, thin, 5 * 1048576, 4096, where));
    EXPECT_FALSE(file_range_place(store, sub, 0, 100, where));
}
