// The bounded recursive listing: order and paths on a sound datastore, and
// termination on directories that name themselves, their ancestors or each
// other, on chains deeper than the limit, and on unreadable directories.

#include "hostile_images.h"

#include "vmfs/blockid.h"
#include "text/name_text.h"
#include "vmfs/tree_walk.h"

#include <gtest/gtest.h>

namespace {

using hostile::open_built;

struct Walk {
    std::vector<std::string> shown;                       // paths, directories with a trailing "/"
    std::vector<std::pair<ds::TreeNote, std::string>> notes;
    std::vector<std::pair<ds::TreeNote, std::string>> passed;   // as the nodes themselves said, before the note
    std::vector<std::string> entered;                     // nodes whose entries were to follow
    std::vector<int> left;                                // depths of the listings that ended, in order
    ds::TreeWalkResult result;
};

Walk walk(ds::Datastore& store, ds::Node top, const std::string& path, ds::TreeWalkOptions options = {}, int64_t stop_after = -1) {
    Walk w;
    options.leave = [&w](int depth, ds::ListStatus) { w.left.push_back(depth); };
    options.print_name = ds::printable_name;
    w.result = ds::tree_walk(store, 
        top, path,
        [&](const ds::TreeNode& n) {
            w.shown.push_back(n.path + (n.entry.is_dir ? "/" : ""));
            if (n.passed_by) w.passed.emplace_back(*n.passed_by, n.path);
            if (n.entered) w.entered.push_back(n.path);
            return stop_after < 0 || static_cast<int64_t>(w.shown.size()) < stop_after;
        },
        [&](ds::TreeNote what, const std::string& p) { w.notes.emplace_back(what, p); }, options);
    return w;
}

Walk walk(ds::Datastore& store, uint32_t top, const std::string& path, ds::TreeWalkOptions options = {}, int64_t stop_after = -1) {
    return walk(store, ds::Node{top, -1}, path, std::move(options), stop_after);
}

using Notes = std::vector<std::pair<ds::TreeNote, std::string>>;
using Paths = std::vector<std::string>;

class TreeWalk : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

TEST_F(TreeWalk, ListsDepthFirstInOnDiskOrderWithFullPaths) {
    ASSERT_TRUE(open_built(store, dir.file("t.img"), [](dsb::ImageBuilder& ds) {
        ds.add_file("/a/x.txt", dsb::text_file("x"));
        ds.add_file("/a/b/y.txt", dsb::text_file("y"));
        ds.add_file("/z.txt", dsb::text_file("z"));
    }));
    Walk w = walk(store, ds::kRootDirId, "/");
    EXPECT_EQ(w.shown, (Paths{"/.fbb.sf", "/.fdc.sf", "/.pbc.sf", "/.sbc.sf", "/a/", "/a/x.txt", "/a/b/",
                              "/a/b/y.txt", "/z.txt"}));
    EXPECT_TRUE(w.notes.empty());
    EXPECT_EQ(w.result.directories, 3);
    EXPECT_EQ(w.result.entries, 9);
    EXPECT_FALSE(w.result.stopped);
    // Each directory says whether its entries follow before they do, and
    // says when they have ended: a caller can copy as it goes.
    EXPECT_EQ(w.entered, (Paths{"/a", "/a/b"}));
    EXPECT_EQ(w.left, (std::vector<int>{2, 1, 0}));

    Walk sub = walk(store, ds::kRootDirId, "/", {}, 5);
    EXPECT_TRUE(sub.result.stopped);
    EXPECT_EQ(sub.shown.size(), 5u);
}

TEST_F(TreeWalk, DirectoriesThatLeadBackAreShownButNeverEnteredTwice) {
    uint32_t a = 0, c = 0;
    ASSERT_TRUE(open_built(store, dir.file("loops.img"), [&](dsb::ImageBuilder& ds) {
        a = ds.mkdir("/a");
        ds.add_file("/a/f", dsb::text_file("f"));
        ds.add_dirent(a, 2, a, "self");
        ds.add_dirent(a, 2, ds.root(), "root");
        c = ds.mkdir("/b/c");
        const uint32_t d = ds.mkdir("/b/c/d");
        ds.add_dirent(d, 2, c, "back-to-c");
        ds.add_dirent(d, 2, a, "over-to-a");   // a is no ancestor of d, but was walked before
        ds.add_dirent(d, 2, a | 0x8u, "a-again");   // a bit the descriptor read ignores
    }));
    Walk w = walk(store, ds::kRootDirId, "/");
    EXPECT_EQ(w.shown, (Paths{"/.fbb.sf", "/.fdc.sf", "/.pbc.sf", "/.sbc.sf", "/a/", "/a/f", "/a/self/", "/a/root/",
                              "/b/", "/b/c/", "/b/c/d/", "/b/c/d/back-to-c/", "/b/c/d/over-to-a/", "/b/c/d/a-again/"}));
    EXPECT_EQ(w.notes, (Notes{{ds::TreeNote::cycle, "/a/self"},
                              {ds::TreeNote::cycle, "/a/root"},
                              {ds::TreeNote::cycle, "/b/c/d/back-to-c"},
                              {ds::TreeNote::listed_before, "/b/c/d/over-to-a"},
                              {ds::TreeNote::listed_before, "/b/c/d/a-again"}}));
    EXPECT_EQ(w.passed, w.notes);
    EXPECT_EQ(w.entered, (Paths{"/a", "/b", "/b/c", "/b/c/d"}));

    // Walking from a itself: the root it names is no ancestor of the walk's
    // top, so it is entered once, and a, met again below it, is not.
    Walk from_a = walk(store, a, "/a");
    EXPECT_EQ(from_a.result.directories, 5);   // a, root, b, c, d
    EXPECT_EQ(std::count(from_a.shown.begin(), from_a.shown.end(), "/a/root/a/"), 1);
}

// A directory that holds the same subdirectory at every level would list
// 2^depth paths if only the current path were remembered.
TEST_F(TreeWalk, ASubdirectoryNamedManyTimesIsEnteredOnce) {
    ASSERT_TRUE(open_built(store, dir.file("fan.img"), [&](dsb::ImageBuilder& ds) {
        uint32_t parent = ds.mkdir("/l0");
        for (int level = 1; level <= 24; ++level) {
            const uint32_t child = ds.mkdir("/l" + std::to_string(level));
            for (int k = 0; k < 2; ++k) ds.add_dirent(parent, 2, child, "c" + std::to_string(k));
            parent = child;
        }
    }));
    Walk w = walk(store, ds::kRootDirId, "/");
    EXPECT_LT(w.result.entries, 200);
    EXPECT_EQ(w.result.directories, 26);   // the root and l0..l24, each once
}

// Entries no listing shows (".", "..", removed ones) are read all the same:
// directories full of them would otherwise cost the square of the volume.
TEST_F(TreeWalk, EntriesReadButNeverShownCountTowardsTheBound) {
    ASSERT_TRUE(open_built(store, dir.file("dead.img"), [&](dsb::ImageBuilder& ds) {
        for (const char* d : {"/x", "/y", "/z"}) {
            const uint32_t id = ds.mkdir(d);
            for (int k = 0; k < 40; ++k) ds.add_dirent(id, 0, 0, "gone" + std::to_string(k));
        }
    }));
    Walk whole = walk(store, ds::kRootDirId, "/");
    EXPECT_TRUE(whole.notes.empty());
    EXPECT_GE(whole.result.entries_read, 3 * 40 + 7);
    EXPECT_EQ(whole.shown.back(), "/z/");

    ds::TreeWalkOptions bounded;
    bounded.read_limit = 60;
    Walk cut = walk(store, ds::kRootDirId, "/", bounded);
    EXPECT_EQ(cut.notes, (Notes{{ds::TreeNote::too_many, "/"}}));
    EXPECT_EQ(cut.shown.back(), "/y/");
}

TEST_F(TreeWalk, StopsEnteringAtTheDepthLimit) {
    ASSERT_TRUE(open_built(store, dir.file("deep.img"), [](dsb::ImageBuilder& ds) {
        ds.add_file("/1/2/3/4/5/f", dsb::text_file("deep"));
    }));
    ds::TreeWalkOptions shallow;
    shallow.max_depth = 3;
    Walk w = walk(store, ds::kRootDirId, "/", shallow);
    EXPECT_EQ(w.shown.back(), "/1/2/3/");
    EXPECT_EQ(w.notes, (Notes{{ds::TreeNote::too_deep, "/1/2/3"}}));
    EXPECT_EQ(walk(store, ds::kRootDirId, "/").shown.back(), "/1/2/3/4/5/f");
}

TEST_F(TreeWalk, UnreadableAndMisnamedDirectoriesAreReportedAndPassed) {
    uint32_t file = 0;
    ASSERT_TRUE(open_built(store, dir.file("bad.img"), [&](dsb::ImageBuilder& ds) {
        const uint32_t a = ds.mkdir("/a");
        file = ds.add_file("/a/file", dsb::text_file("f"));
        ds.add_dirent(a, 2, ds::fd_build(30000, 5), "beyond-fdc");   // no such descriptor slot
        ds.add_dirent(a, 2, file, "a-file-called-dir");               // its descriptor is no directory
        ds.add_file("/a/after", dsb::text_file("after"));
    }));
    Walk w = walk(store, ds::kRootDirId, "/");
    EXPECT_EQ(std::vector<std::string>(w.shown.begin() + 4, w.shown.end()),
              (Paths{"/a/", "/a/file", "/a/beyond-fdc/", "/a/a-file-called-dir/", "/a/after"}));
    EXPECT_EQ(w.notes, (Notes{{ds::TreeNote::open_error, "/a/beyond-fdc"}}));
    // The one marked as a directory but no directory is neither entered nor
    // passed by: it is the file it is.
    EXPECT_EQ(w.passed, w.notes);
    EXPECT_EQ(w.entered, (Paths{"/a"}));

    Walk top = walk(store, ds::fd_build(30000, 5), "#bad");
    EXPECT_TRUE(top.shown.empty());
    EXPECT_EQ(top.notes, (Notes{{ds::TreeNote::open_error, "#bad"}}));
}

TEST_F(TreeWalk, AFoundDirectoryIsWalkedThroughTheSubBlockThatReplacesItsFirstBlock) {
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    ASSERT_EQ(dstest::open_images(store, f).message, "");
    Walk w = walk(store, ds::Node{f.reused_dir, f.found.at(1).first_block}, "DIR2");
    EXPECT_NE(std::find(w.shown.begin(), w.shown.end(), "DIR2/vm-old-flat.vmdk"), w.shown.end());
    EXPECT_TRUE(w.notes.empty());
}

} // namespace
