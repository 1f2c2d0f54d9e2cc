// The core's path lookup the command line stands on, called directly: what
// it reaches, where it stops and the trail a front end builds its texts from.
#include "cli_fixture.h"

#include "support/open_images.h"
#include "vmfs/datastore.h"

#include <gtest/gtest.h>

namespace clitest {
namespace {

std::vector<std::string> names(const ds::PathLookup& p) {
    std::vector<std::string> out;
    for (const ds::ListedEntry& e : p.trail) out.push_back(e.raw_name);
    return out;
}

TEST(PathLookup, WalksComponentsSkipsDotsAndStopsWhereThePathFails) {
    const dsb::DemoSummary& d = demo();
    ds::Datastore store;
    ASSERT_EQ(dstest::open_images(store, d).message, "");

    ds::PathLookup up = store.look_up("/vm1/../vm2/./", ds::PathFrom::root);
    EXPECT_EQ(up.end, ds::PathEnd::found);
    EXPECT_EQ(up.node, (ds::Node{d.ids.at("/vm2"), -1}));
    EXPECT_EQ(names(up), std::vector<std::string>{"vm2"});

    // ".." never leaves the start; "" and "/" are the root itself.
    for (const char* top : {"", "/", "/../..", "./."}) {
        ds::PathLookup root = store.look_up(top, ds::PathFrom::root);
        EXPECT_EQ(root.end, ds::PathEnd::found) << top;
        EXPECT_EQ(root.node, ds::Datastore::root()) << top;
        EXPECT_TRUE(root.trail.empty()) << top;
    }

    ds::PathLookup missing = store.look_up("/vm1/snapshots/nothing/deeper", ds::PathFrom::root);
    EXPECT_EQ(missing.end, ds::PathEnd::no_entry);
    EXPECT_EQ(missing.component, "nothing");
    EXPECT_EQ(missing.node, (ds::Node{d.ids.at("/vm1/snapshots"), -1}));
    EXPECT_EQ(names(missing), (std::vector<std::string>{"vm1", "snapshots"}));

    ds::PathLookup through_file = store.look_up("/vm1/vm1.vmx/x", ds::PathFrom::root);
    EXPECT_EQ(through_file.end, ds::PathEnd::not_directory);
    EXPECT_EQ(through_file.status.code, ds::Code::not_directory);
    EXPECT_EQ(names(through_file), (std::vector<std::string>{"vm1", "vm1.vmx"}));
}

TEST(PathLookup, TheMatcherRanksEntriesAndWithoutOneOnlyStoredBytesMatch) {
    const dsb::DemoSummary& d = demo();
    ds::Datastore store;
    ASSERT_EQ(dstest::open_images(store, d).message, "");

    EXPECT_EQ(store.look_up("/VM1", ds::PathFrom::root).end, ds::PathEnd::no_entry);
    // A matcher that takes any directory of the root: the best rank wins,
    // and of equal ranks the entry listed first.
    const ds::NameMatcher any_dir = [](const std::string&) -> ds::EntryRank {
        return [](const ds::ListedEntry& e) { return !e.is_dir ? -1 : e.raw_name == "vm2" ? 0 : 1; };
    };
    ds::PathLookup best = store.look_up("/whatever", ds::PathFrom::root, any_dir);
    ASSERT_EQ(best.end, ds::PathEnd::found);
    EXPECT_EQ(best.node.id, d.ids.at("/vm2"));
    const ds::NameMatcher first_dir = [](const std::string&) -> ds::EntryRank {
        return [](const ds::ListedEntry& e) { return e.is_dir ? 1 : -1; };
    };
    EXPECT_EQ(store.look_up("/x", ds::PathFrom::root, first_dir).node.id, d.ids.at("/vm1"));
}

TEST(PathLookup, FoundDirectoriesAreReadThroughTheBlockThatReplacesTheirFirst) {
    const dsb::FormattedSummary& f = formatted();
    ds::Datastore store;
    ASSERT_EQ(dstest::open_images(store, f).message, "");
    EXPECT_EQ(store.look_up("DIR1", ds::PathFrom::found_dirs).end, ds::PathEnd::no_entry);
    ASSERT_EQ(store.scan_formatted([](int) { return true; }).end, ds::ScanEnd::finished);
    ASSERT_FALSE(f.found.empty());

    for (const dsb::FoundDir& want : f.found) {
        const std::string dir = "DIR" + std::to_string(want.number);
        ds::PathLookup p = store.look_up(dir + "/..//" + dir, ds::PathFrom::found_dirs);
        ASSERT_EQ(p.end, ds::PathEnd::found) << dir;
        const int64_t block = want.first_block == -1 ? -1 : int64_t{static_cast<uint32_t>(want.first_block)};
        EXPECT_EQ(p.node, (ds::Node{want.dir_id, block})) << dir;
        EXPECT_EQ(names(p), std::vector<std::string>{dir});
    }
    // Below a found directory its entries are read as their own descriptors say.
    const std::string first = "DIR" + std::to_string(f.found.front().number);
    ds::DirLister lister = store.list(ds::Datastore::found_dir_node(store.found_dirs().front()));
    ds::ListedEntry child;
    ASSERT_TRUE(lister.next(child));
    ds::PathLookup below = store.look_up(first + "/" + child.raw_name, ds::PathFrom::found_dirs);
    ASSERT_EQ(below.end, ds::PathEnd::found);
    EXPECT_EQ(below.node, child.node());
    EXPECT_EQ(names(below), (std::vector<std::string>{first, child.raw_name}));
}

} // namespace
} // namespace clitest
