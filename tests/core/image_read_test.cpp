// Reading every kind of file of a built datastore, through each addressing
// mode, and comparing with what the builder wrote.

#include "support/open_images.h"
#include "support/test_support.h"
#include "export/file_export.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"
#include "vmfs/listing.h"
#include "vmfs/volume.h"

#include <fstream>
#include <sys/stat.h>

namespace {

using namespace ds;

std::vector<uint8_t> export_bytes(uint32_t id, const dstest::TempDir& dir, ExportResult* result = nullptr) {
    tvmfs_inode inode;
    EXPECT_EQ(inode_get(id, inode), 0);
    std::string out = dir.file("export.bin");
    ExportResult r = file_export(inode, out, {});
    if (result) *result = r;
    return dstest::read_file(out);
}

class ThinImage : public dstest::CleanState {
protected:
    dstest::TempDir dir;
};

class DemoImage : public dstest::CleanState, public ::testing::WithParamInterface<uint64_t> {
protected:
    dstest::TempDir dir;
};

TEST_P(DemoImage, OpensAndExportsEveryLiveFileByteForByte) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string(), GetParam());
    OpenOutcome open = dstest::open_images(demo);
    ASSERT_EQ(open.message, "");
    ASSERT_TRUE(open.completed);
    EXPECT_EQ(fs_state().fsinfo.blocksize, static_cast<int64_t>(GetParam()));
    for (uint32_t id : {demo.inline_file, demo.subblock_file, demo.fileblock_file, demo.pointer_file,
                        demo.utf8_file}) {
        const dsb::ObjectExpect* obj = nullptr;
        for (const auto& o : demo.objects)
            if (o.id == id) obj = &o;
        ASSERT_NE(obj, nullptr);
        SCOPED_TRACE(obj->path);
        ExportResult r;
        std::vector<uint8_t> got = export_bytes(id, dir, &r);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(got.size(), obj->size);
        EXPECT_TRUE(got == dstest::expected_bytes(*obj));
    }
}

TEST_P(DemoImage, ReadsPiecesThatCrossBlockEdges) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string(), GetParam());
    ASSERT_EQ(dstest::open_images(demo).message, "");
    for (uint32_t id : {demo.subblock_file, demo.fileblock_file, demo.pointer_file}) {
        const dsb::ObjectExpect& obj = *std::find_if(demo.objects.begin(), demo.objects.end(),
                                                     [&](const auto& o) { return o.id == id; });
        SCOPED_TRACE(obj.path);
        tvmfs_inode inode;
        ASSERT_EQ(inode_get(id, inode), 0);
        const uint64_t unit = obj.storage == dsb::Storage::SubBlocks ? 65536 : demo.block_size;
        // Pieces of 140 bytes straddling every unit edge of the first three units.
        for (uint64_t edge = unit; edge <= 3 * unit && edge < obj.size; edge += unit) {
            uint8_t buf[140];
            int64_t at = static_cast<int64_t>(edge) - 76;
            int64_t n = std::min<int64_t>(140, static_cast<int64_t>(obj.size) - at);   // clamped at the end
            ASSERT_EQ(file_read(inode, buf, 140, at), n);
            EXPECT_TRUE(std::equal(buf, buf + n, dsb::materialize(obj.content, at, n).begin()));
        }
        uint8_t tail[64];
        EXPECT_EQ(file_read(inode, tail, 64, static_cast<int64_t>(obj.size) - 10), 10);
        EXPECT_EQ(file_read(inode, tail, 64, static_cast<int64_t>(obj.size)), 0);
        EXPECT_EQ(file_read(inode, tail, 0, 0), 0);
    }
}

// Holes of a thin file read as zeros, also where the lookup changes pointer
// block; a whole slot without a pointer block is a hole too.
TEST_F(ThinImage, ThinFileHolesReadAsZeros) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(dstest::open_images(demo).message, "");
    const dsb::ObjectExpect& thin = *std::find_if(demo.objects.begin(), demo.objects.end(),
                                                  [&](const auto& o) { return o.id == demo.thin_file; });
    tvmfs_inode inode;
    ASSERT_EQ(inode_get(thin.id, inode), 0);
    const int64_t mib = 1048576;
    for (int64_t at : {int64_t{0}, 5 * mib - 3, 1023 * mib - 7, 1024 * mib - 70, 1100 * mib, int64_t(thin.size) - 4096}) {
        std::vector<uint8_t> buf(2 * mib);
        int64_t n = std::min<int64_t>(2 * mib, int64_t(thin.size) - at);
        ASSERT_EQ(file_read(inode, buf.data(), n, at), n) << at;
        buf.resize(static_cast<size_t>(n));
        EXPECT_TRUE(buf == dsb::materialize(thin.content, at, n)) << at;
    }
}

TEST_F(ThinImage, ThinFileExportsWithItsHolesLeftAsHoles) {
    dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(dstest::open_images(demo).message, "");
    const dsb::ObjectExpect& thin = *std::find_if(demo.objects.begin(), demo.objects.end(),
                                                  [&](const auto& o) { return o.id == demo.thin_file; });
    tvmfs_inode inode;
    ASSERT_EQ(inode_get(thin.id, inode), 0);
    std::string out = dir.file("thin.vmdk");
    ASSERT_EQ(file_export(inode, out).result, 0);
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

class MultiImage : public dstest::CleanState {};

TEST_F(MultiImage, AFileSpanningTwoMembersExportsWhole) {
    dstest::TempDir dir;
    dsb::MultiSummary multi = dsb::build_multi(dir.path().string());
    ASSERT_EQ(multi.images.size(), 2u);
    ASSERT_EQ(dstest::open_images(multi).message, "");
    EXPECT_EQ(lvm_state().loaded_extents, 2);
    std::vector<uint8_t> got = export_bytes(multi.spanning.id, dir);
    EXPECT_EQ(got.size(), multi.spanning.size);
    EXPECT_TRUE(got == dstest::expected_bytes(multi.spanning));
}

} // namespace
