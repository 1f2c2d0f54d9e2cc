// Opening a datastore, listing it and exporting from it, including every
// refusal of damaged metadata.

#include "vmfs/store.h"
#include "support/open_images.h"
#include "support/test_support.h"
#include "vmfs/blockid.h"
#include "export/file_export.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"
#include "support/listing.h"

#include <filesystem>
#include <sys/stat.h>

namespace {

using namespace ds;

std::vector<uint8_t> le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
std::vector<uint8_t> le64(uint64_t v) {
    std::vector<uint8_t> b = le32(uint32_t(v)), hi = le32(uint32_t(v >> 32));
    b.insert(b.end(), hi.begin(), hi.end());
    return b;
}

class SmallDatastore : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    dsb::DatastoreOptions options() {
        dsb::DatastoreOptions o;
        o.path = dir.file("small.img");
        return o;
    }
    dsb::ImageSummary summary_of(const dsb::ImageBuilder& d) {
        dsb::ImageSummary s;
        s.images = {dir.file("small.img")};
        s.block_size = d.block_size();
        return s;
    }
    Descriptor inode(uint32_t id) {
        Descriptor n;
        EXPECT_EQ(inode_get(store, id, n), 0);
        return n;
    }
};

TEST_F(SmallDatastore, OpeningFillsThePaneAndListingsShowOnlyNamedFiles) {
    dsb::ImageBuilder d(options());
    uint32_t vm = d.mkdir("/vm1");
    d.add_file("/vm1/a.txt", dsb::text_file("a"));
    d.add_dirent(vm, 4, fd_build(0, 9), "descriptor-entry");
    d.add_dirent(vm, 6, fd_build(0, 10), "symlink-entry");
    d.add_dirent(vm, 0, 0, "unused-slot");
    d.add_dirent(vm, 5, fd_build(0, 11), "  padded.sf\x01");
    d.finish();
    const dstest::Opened open = dstest::open_images(store, summary_of(d));
    ASSERT_EQ(open.message, "");
    ASSERT_TRUE(open.pane_filled && open.tree_rebuilt && open.completed);
    ASSERT_EQ(open.info_lines.size(), 10u);
    EXPECT_EQ(open.info_lines[0], "lvm numofextents:1");
    EXPECT_EQ(open.info_lines[2], "lvm loaded_extents:1");
    EXPECT_EQ(open.info_lines[3].rfind("1>" + dir.file("small.img") + "|size:", 0), 0u);
    EXPECT_EQ(open.info_lines[4], "-------------------------------");
    EXPECT_EQ(open.info_lines[5], "FSINFO:");
    EXPECT_EQ(open.info_lines[6], "blocksize:1048576");

    Listing root = list_directory(store, kRootDirId);
    EXPECT_EQ(root.status, ListStatus::complete);
    std::vector<std::string> names;
    for (const auto& e : root.entries) names.push_back(e.name + (e.is_dir ? "/" : ""));
    EXPECT_NE(std::find(names.begin(), names.end(), ".fdc.sf"), names.end());   // system files are files
    EXPECT_NE(std::find(names.begin(), names.end(), "vm1/"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "."), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), ".."), names.end());

    Listing sub = list_directory(store, vm);
    ASSERT_EQ(sub.entries.size(), 2u);
    EXPECT_EQ(sub.entries[0].name, "a.txt");
    EXPECT_EQ(sub.entries[1].name, "padded.sf");
    EXPECT_EQ(list_directory(store, d.lookup("/vm1/a.txt")).status, ListStatus::not_directory);
    EXPECT_EQ(list_directory(store, fd_build(0x7000, 5)).status, ListStatus::open_error);
}

TEST_F(SmallDatastore, RefusesADescriptorWithABadMagicOrBlockSize) {
    auto o = options();
    o.bad_fs_magic = true;
    {
        dsb::ImageBuilder bad(o);
        bad.finish();
    }
    dsb::ImageSummary image;
    image.images = {dir.file("small.img")};
    EXPECT_EQ(dstest::open_images(store, image).message, "fs info read error");

    new_store();
    dsb::ImageBuilder d(options());
    d.finish();
    d.write_lv(0x200000 + 0xA1, std::vector<uint8_t>(8, 0));   // block size 0
    EXPECT_EQ(dstest::open_images(store, summary_of(d)).message, "fs info read error");
    new_store();
    d.write_lv(0x200000 + 0xA1, le64(4096));   // 4096: accepted
    EXPECT_NE(dstest::open_images(store, summary_of(d)).message, "fs info read error");
    new_store();
    d.write_lv(0x200000 + 0xA1, le64(0x100001));   // not a power of two
    EXPECT_EQ(dstest::open_images(store, summary_of(d)).message, "fs info read error");
}

TEST_F(SmallDatastore, RefusesBitmapHeadersThatCannotPlaceItems) {
    struct Case {
        dsb::SysFile file;
        size_t offset;
        uint32_t value;
        const char* message;
    };
    for (Case c : {Case{dsb::SysFile::Sbc, 12, 0, "sbc open error"}, Case{dsb::SysFile::Pbc, 16, 0, "pbc open error"},
                   Case{dsb::SysFile::Sbc, 12, 0x7FFFFFFF, "sbc open error"},
                   Case{dsb::SysFile::Fdc, 12, 4096, "fdc open error"},
                   Case{dsb::SysFile::Pbc, 4, 0xFFFFFFFF, "pbc open error"}}) {
        SCOPED_TRACE(c.message);
        new_store();
        dsb::ImageBuilder d(options());
        d.finish();
        d.write_file_bytes(d.system_file(c.file), c.offset, le32(c.value));
        EXPECT_EQ(dstest::open_images(store, summary_of(d)).message, c.message);
    }
}

TEST_F(SmallDatastore, ExportsBySizeAndType) {
    dsb::ImageBuilder d(options());
    std::string k1024(1024, 'k'), k1025(1025, 'q');
    uint32_t exactly = d.add_file("/a", dsb::text_file(k1024));
    uint32_t above = d.add_file("/b", dsb::text_file(k1025));
    uint32_t empty = d.add_file("/c", dsb::text_file(""));
    uint32_t folder = d.mkdir("/dir");
    d.add_file("/dir/x", dsb::text_file("x"));
    d.add_file("/dir/y", dsb::text_file("y"));
    d.finish();
    ASSERT_EQ(dstest::open_images(store, summary_of(d)).message, "");
    std::string out = dir.file("out");
    auto exported = [&](uint32_t id) {
        EXPECT_EQ(file_export(store, ds::file_of(inode(id)), out).failure, ds::ExportFailure::none);
        return dstest::read_file(out);
    };
    EXPECT_EQ(exported(exactly), std::vector<uint8_t>(k1024.begin(), k1024.end()));
    EXPECT_EQ(exported(above), std::vector<uint8_t>(k1025.begin(), k1025.end()));
    EXPECT_TRUE(exported(empty).empty());
    EXPECT_EQ(exported(folder), d.directory_bytes(folder));   // its entries, "." and ".." included
    EXPECT_EQ(exported(folder).size(), 4u * 140);
}

TEST_F(SmallDatastore, AFailedReadKeepsTheChunksWrittenBefore) {
    dsb::ImageBuilder d(options());
    uint32_t log = d.add_file("/log", dsb::generated_file(3 * 1048576 + 5, dsb::pattern_content(7),
                                                            dsb::Storage::FileBlocks));
    d.finish();
    d.write_item(log, 0x400 + 2 * 4, le32(0x45));   // third block: an id of a kind that names nothing
    ASSERT_EQ(dstest::open_images(store, summary_of(d)).message, "");
    ExportResult r = file_export(store, ds::file_of(inode(log)), dir.file("out"));
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ExportFailure::read);
    EXPECT_EQ(r.read_failure, Failure{Fault::damaged});   // no disk failed: the id leads nowhere
    EXPECT_EQ(std::filesystem::file_size(dir.file("out")), 2u * 1048576);
}

TEST_F(SmallDatastore, ASlotClaimingMoreThanItsBlockDoesNotWrapAround) {
    dsb::ImageBuilder d(options());
    uint32_t f = d.add_file("/f", dsb::generated_file(2 * 1048576, dsb::pattern_content(4), dsb::Storage::FileBlocks));
    d.finish();
    d.write_item(f, 0x214, le64(uint64_t{1} << 62));   // size
    d.write_item(f, 0x21C, le64(uint64_t{1} << 40));   // block_size of one slot
    ASSERT_EQ(dstest::open_images(store, summary_of(d)).message, "");
    std::vector<uint8_t> buf(64);
    EXPECT_EQ(file_read(store, inode(f), buf.data(), 64, 0), 64);
    EXPECT_EQ(file_read(store, inode(f), buf.data(), 64, 1048576), -1);
    EXPECT_EQ(file_read(store, inode(f), buf.data(), 64, int64_t{5} << 30), -1);
}

TEST_F(SmallDatastore, RefusesToExportOverAnInputOrFromANegativeSize) {
    dsb::ImageBuilder d(options());
    uint32_t f = d.add_file("/f", dsb::text_file("hello"));
    d.finish();
    ASSERT_EQ(dstest::open_images(store, summary_of(d)).message, "");
    auto before = std::filesystem::file_size(dir.file("small.img"));
    ExportResult r = file_export(store, ds::file_of(inode(f)), dir.file("small.img"));
    EXPECT_EQ(r.failure, ExportFailure::destination_is_input);
    EXPECT_EQ(std::filesystem::file_size(dir.file("small.img")), before);

    Descriptor bad = inode(f);
    bad.size = -5;
    r = file_export(store, ds::file_of(bad), dir.file("neg"));
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ExportFailure::negative_size);
    EXPECT_FALSE(std::filesystem::exists(dir.file("neg")));

    EXPECT_EQ(file_export(store, ds::file_of(inode(f)), dir.file("no/such/dir/x")).failure, ExportFailure::create);
}

TEST_F(SmallDatastore, ACancelledExportKeepsWhatWasWritten) {
    dsb::ImageBuilder d(options());
    uint32_t f = d.add_file("/big", dsb::generated_file(5 * 1048576, dsb::pattern_content(3), dsb::Storage::FileBlocks));
    d.finish();
    ASSERT_EQ(dstest::open_images(store, summary_of(d)).message, "");
    int calls = 0;
    ExportResult r = file_export(store, ds::file_of(inode(f)), dir.file("out"), [&](int64_t done, int64_t total) {
        EXPECT_EQ(total, 5 * 1048576);
        EXPECT_EQ(done, ++calls * 1048576);
        return calls < 2;
    });
    EXPECT_EQ(r.failure, ExportFailure::cancelled);
    EXPECT_EQ(std::filesystem::file_size(dir.file("out")), 2u * 1048576);
}

} // namespace
