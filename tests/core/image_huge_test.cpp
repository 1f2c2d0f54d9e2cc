// The largest datastore's shape, at a size a test builds in a second: 32
// members, a wide directory, folders of small files, files placed on every
// member, thin disks through pointer blocks and a few deleted files.

#include "builder/huge_datastore.h"
#include "support/open_images.h"
#include "support/test_support.h"

#include "vmfs/file_read.h"
#include "vmfs/store.h"

#include <set>

namespace {

using namespace ds;

class HugeShape : public dstest::WithDatastore {
protected:
    static constexpr uint64_t kFiles = 2000;
    dstest::TempDir dir;
    dsb::HugeOptions options = dsb::huge_options(kFiles);
    dsb::HugeSummary built;

    void SetUp() override {
        built = dsb::build_huge(dir.path().string(), options);
        const dstest::Opened open = dstest::open_images(store, built);
        ASSERT_EQ(open.message, "");
        ASSERT_TRUE(open.completed);
    }

    Node node_at(const std::string& path) {
        const PathLookup found = store.look_up(path, PathFrom::root);
        EXPECT_EQ(found.end, PathEnd::found) << path;
        return found.node;
    }

    std::vector<uint8_t> read_all(const Node& node, int64_t size) {
        File f;
        EXPECT_TRUE(store.open_file(node, f).ok());
        EXPECT_EQ(f.size(), size);
        std::vector<uint8_t> out(static_cast<size_t>(size));
        int64_t got = 0;
        EXPECT_TRUE(store.read(f, out.data(), size, 0, got).ok());
        EXPECT_EQ(got, size);
        return out;
    }

    int member_of(int64_t lv_offset) const {
        return static_cast<int>(lv_offset / (int64_t{options.segments_per_member} << 28));
    }
};

TEST_F(HugeShape, ListsEveryFileInOrderAndReadsThemOnAll32Members) {
    EXPECT_EQ(store.volume().loaded_extents, 32);
    EXPECT_EQ(store.fs_params().blocksize, int64_t{8} << 20);

    // The wide directory lists its files in the order they were added.
    std::vector<std::string> names;
    DirLister wide = store.list(node_at(dsb::huge_wide_path()));
    for (ListedEntry e; wide.next(e);)
        if (e.name != "." && e.name != "..") names.push_back(e.name);
    EXPECT_EQ(wide.status(), ListStatus::complete);
    ASSERT_EQ(names.size(), built.wide_entries);
    for (uint64_t k = 0; k < built.wide_entries; ++k) ASSERT_EQ(names[k], dsb::huge_file_name(k));

    // The whole tree: every file once, in its folder.
    uint64_t files = 0, dirs = 0;
    std::set<std::string> seen;
    store.walk(Datastore::root(), "/", [&](const TreeNode& n) {
        if (n.entry.is_dir) ++dirs;
        else if (n.entry.type == kTypeRegular) {
            ++files;
            if (n.path.rfind("/data/", 0) == 0 || n.path.rfind("/wide/", 0) == 0) seen.insert(n.entry.name);
        }
        return true;
    });
    EXPECT_EQ(seen.size(), kFiles);
    EXPECT_EQ(files, kFiles + 3 * options.vms);
    EXPECT_EQ(dirs, built.folders + 4 + options.vms);   // /wide /data /vms /old and the VM folders
    EXPECT_EQ(seen.count(dsb::huge_file_name(kFiles - 1)), 1u);

    // Inline and sub-block files of both kinds of directory, byte for byte.
    const uint64_t last_folder = built.folders - 1;
    const uint64_t in_last = kFiles - 1;
    for (uint64_t k : {uint64_t{1}, uint64_t{8}, built.wide_entries + 8, in_last}) {
        const std::string parent = k < built.wide_entries
            ? dsb::huge_wide_path()
            : dsb::huge_folder_path(k == in_last ? last_folder : (k - built.wide_entries) / options.files_per_folder);
        const uint64_t size = dsb::huge_file_size(options, k);
        EXPECT_EQ(read_all(node_at(parent + "/" + dsb::huge_file_name(k)), static_cast<int64_t>(size)),
                  dsb::materialize(dsb::huge_file_content(k), 0, size))
            << k;
    }

    // Files placed member by member: each reads back, and together they cover
    // every member of the volume.
    std::set<int> members;
    ASSERT_GE(built.spread.size(), 32u);
    for (const dsb::ObjectExpect& o : built.spread) {
        const Node n = node_at(o.path);
        EXPECT_EQ(read_all(n, static_cast<int64_t>(o.size)), dstest::expected_bytes(o)) << o.path;
        File f;
        ASSERT_TRUE(store.open_file(n, f).ok());
        for (const Extent& e : store.extents(f))
            if (e.kind == Extent::Kind::data) members.insert(member_of(e.lv_offset));
    }
    EXPECT_EQ(members.size(), 32u);
}

TEST_F(HugeShape, ThinDisksReadThroughPointerBlocksAndDeletedFilesAreFound) {
    for (const dsb::ObjectExpect& disk : built.vm_disks) {
        File f;
        ASSERT_TRUE(store.open_file(node_at(disk.path), f).ok());
        EXPECT_EQ(f.size(), static_cast<int64_t>(disk.size));
        // Data in the first MiB of every vm_data_every-th block, holes between.
        const int64_t bs = static_cast<int64_t>(built.block_size);
        for (int64_t block : {int64_t{0}, int64_t{1}, int64_t{options.vm_data_every}}) {
            std::vector<uint8_t> got(4096);
            int64_t n = 0;
            ASSERT_TRUE(store.read(f, got.data(), 4096, block * bs, n).ok());
            EXPECT_EQ(got, dsb::materialize(disk.content, static_cast<uint64_t>(block * bs), 4096)) << block;
        }
        EXPECT_EQ(store.allocated(f), static_cast<int64_t>(disk.size / built.block_size / options.vm_data_every) * bs);
    }

    const ScanResult<FileRow> rows = store.scan_deleted([](int) { return true; });
    EXPECT_EQ(rows.end, ScanEnd::finished);
    std::set<uint32_t> ids;
    for (const FileRow& r : rows.rows) ids.insert(r.descriptor_id);
    ASSERT_EQ(ids.size(), built.deleted.size());
    for (const dsb::ObjectExpect& o : built.deleted) EXPECT_EQ(ids.count(o.id), 1u) << o.path;
}

// Many small folders, each listed from a sub-block that lies far from the
// descriptors of its files. A walk of names reads the folders' descriptors
// and sub-blocks alone; a walk that dates every file (a timeline) reads each
// chunk of descriptors once, the sub-blocks still alone: through the chunk
// cache each would cost a mebibyte and evict the descriptors.
TEST(HugeWalkReads, WalksReadLittleMoreThanTheMetadataTheyNeed) {
    dstest::TempDir dir;
    dsb::HugeOptions options = dsb::huge_options(6000);
    options.files_per_folder = 20;
    const dsb::HugeSummary built = dsb::build_huge(dir.path().string(), options);
    Datastore store;
    const dstest::Opened open = dstest::open_images(store, built);
    ASSERT_EQ(open.message, "");
    ASSERT_GE(built.folders, 250u);

    DiskReader& disk = internals(store).disk;
    const int64_t subblock = store.fs_params().subblocksize;
    const int64_t folders = static_cast<int64_t>(built.folders);

    // Names only (a tree): the folders' descriptors and sub-blocks, once
    // each, never the chunks of descriptors around them, nor the parent's
    // sub-block again after each folder.
    disk.reset();
    uint64_t named = 0;
    store.walk(Datastore::root(), "/", [&](const TreeNode&) { return ++named, true; });
    EXPECT_LE(disk.bytes_read(), folders * (subblock + 2048) * 5 / 4 + 2 * kChunkSize)
        << disk.chunk_reads() << " reads";

    disk.reset();
    uint64_t entries = 0, dated = 0;
    const TreeWalkResult walked = store.walk(Datastore::root(), "/", [&](const TreeNode& n) {
        ++entries;
        FileInfo info;
        if (store.stat(n.entry.node(), info).ok()) ++dated;
        return true;
    });
    EXPECT_FALSE(walked.stopped);
    EXPECT_EQ(dated, entries);
    EXPECT_EQ(named, entries);
    ASSERT_GE(entries, 6000u);
    // What the walk needs: a descriptor per entry and a sub-block per folder.
    const int64_t metadata = static_cast<int64_t>(entries) * 2048 + folders * subblock;
    EXPECT_LE(disk.bytes_read(), 2 * metadata + 4 * kChunkSize)
        << "metadata " << metadata << " bytes, " << disk.chunk_reads() << " reads";
}

// A full memo lets go of its least recently used item only: a walk that
// keeps its parent's sub-block among the last eight finds it still held.
TEST(ItemMemo, AFullMemoReplacesOnlyItsLeastRecentItem) {
    constexpr size_t kItem = 65536;
    ds::ItemMemo memo;
    for (uint32_t id = 1; id <= 8; ++id) {
        std::vector<uint8_t> bytes(kItem, static_cast<uint8_t>(id));
        memo.keep(id, bytes);
    }
    uint8_t b = 0;
    ASSERT_TRUE(memo.copy_out(1, kItem, 0, 1, &b));   // 1 used last; 2 is now the oldest
    EXPECT_EQ(b, 1);
    std::vector<uint8_t> ninth(kItem, 9);
    memo.keep(9, ninth);
    for (uint32_t id : {1u, 3u, 4u, 5u, 6u, 7u, 8u, 9u}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(memo.copy_out(id, kItem, kItem - 1, 1, &b));
        EXPECT_EQ(b, id);
    }
    EXPECT_FALSE(memo.copy_out(2, kItem, 0, 1, &b));
    // One item larger than all eight together is then all that is held.
    std::vector<uint8_t> large(9 * kItem, 10);
    memo.keep(10, large);
    EXPECT_TRUE(memo.copy_out(10, 9 * kItem, 0, 1, &b));
    EXPECT_FALSE(memo.copy_out(9, kItem, 0, 1, &b));
}

} // namespace
