// Names for deleted files: which directory entries may name a free slot, and
// the paths they give, over datastores with deleted directories, reused
// slots and directories found after a reformat.
#include "vmfs/store.h"
#include "recovery_images.h"
#include "builder/scenarios.h"
#include "text/row_text.h"

#include <map>
#include <optional>

namespace {

using namespace dsb::layout;

// What the scan (directories included) and the join give: id -> path as
// printed, or nullopt for a row without a name.
std::map<uint32_t, std::optional<std::string>> named_rows(const ds::Datastore& store, ds::DeletedNames* keep = nullptr) {
    std::vector<ds::DeletedItem> items;
    const ds::ScanEnd end = store.scan_deleted([](int) { return true; },
                                               [&](const ds::FileRow& r) { items.push_back({r.descriptor_id, r.is_dir}); }, true)
                                .end;
    EXPECT_EQ(end, ds::ScanEnd::finished);
    const ds::DeletedNames names = store.name_deleted(items);
    std::map<uint32_t, std::optional<std::string>> out;
    for (const ds::DeletedItem& it : items) {
        const auto n = names.find(it.id);
        out[it.id] = n == names.end() ? std::nullopt : std::optional(ds::deleted_path_text(n->second));
    }
    if (keep) *keep = names;
    return out;
}

// The id an entry of directory dir names (the directory read as it stands).
uint32_t id_in(const ds::Datastore& store, uint32_t dir, const std::string& name) {
    ds::DirLister list = store.list({dir, -1});
    ds::ListedEntry e;
    while (list.next(e))
        if (e.raw_name == name) return e.descriptor_id;
    ADD_FAILURE() << name << " not in " << dir;
    return 0;
}

class DeletedNames : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

TEST_F(DeletedNames, EntriesOfDeletedAndLiveDirectoriesNameOnlyWhatTheySoundlyCan) {
    dsb::DatastoreOptions o;
    o.path = dir.file("names.img");
    dsb::ImageBuilder ds(o);
    const uint32_t keep = ds.mkdir("/keep");
    ds.add_file("/keep/live.txt", dsb::text_file("live\n"));
    const uint32_t proj = ds.mkdir("/proj");
    const uint32_t a = ds.add_file("/proj/a.txt", dsb::text_file("a\n"));
    const uint32_t sub = ds.mkdir("/proj/sub");
    const uint32_t b = ds.add_file("/proj/sub/b.txt", dsb::text_file("b\n"));
    const uint32_t reused = ds.add_file("/proj/reused.txt", dsb::text_file("old occupant\n"));
    const uint32_t kind = ds.add_file("/proj/kind.txt", dsb::text_file("a file, later a directory's slot\n"));
    const uint32_t twice = ds.add_file("/proj/twice.txt", dsb::text_file("named in two places\n"));
    const uint32_t dangling = ds.add_file("/proj/dangling.txt", dsb::text_file("still in a live directory\n"));
    const uint32_t other = ds.mkdir("/other");
    ds.add_dirent(other, kTypeRegular, twice, "elsewhere.txt");
    const uint32_t lonely = ds.add_file("/x/lonely.txt", dsb::text_file("its name went with it\n"));
    for (const char* p : {"/proj", "/other", "/x/lonely.txt"}) ds.remove(p);
    // A live directory still naming a freed slot: the file system's current word.
    ds.add_dirent(keep, kTypeRegular, dangling, "still-listed.txt");
    // The slot of reused.txt now holds a live file: never a deleted row, and
    // the deleted directory's old name for it is not used.
    ds.set_free(reused, false);
    ds.write_descriptor(reused, rectest::deleted_file(reused, kAddrFileBlocks));
    ds.add_dirent(keep, kTypeRegular, reused, "new.txt");
    // The slot of kind.txt now holds a (deleted) directory: the entry named a file.
    dsb::DescriptorFields d = rectest::deleted_file(kind, 0);
    d.type = kTypeDirectory;
    d.size = 0;
    ds.write_descriptor(kind, d);
    ds.finish();
    ASSERT_TRUE(rectest::open_datastore(store, ds));

    ds::DeletedNames names;
    const auto rows = named_rows(store, &names);
    const std::string top = "$deleted/" + std::to_string(proj) + "/";
    const std::map<uint32_t, std::optional<std::string>> expected = {
        {proj, std::nullopt},                       // its entry left the root
        {a, top + "a.txt"},
        {sub, top + "sub"},
        {b, top + "sub/b.txt"},                     // through a deleted directory that is named
        {kind, std::nullopt},                       // named as a file, now a directory
        {twice, std::nullopt},                      // two deleted directories disagree
        {dangling, "/keep/still-listed.txt"},       // the live entry wins
        {other, std::nullopt},
        {lonely, std::nullopt},                     // no entry names it any more
    };
    EXPECT_EQ(rows, expected);
    EXPECT_FALSE(rows.contains(reused));
    ASSERT_TRUE(names.contains(b));
    EXPECT_EQ(names.at(b).name, "b.txt");
    EXPECT_EQ(names.at(b).unnamed_top, proj);
    EXPECT_EQ(names.at(b).in, ds::NamedIn::deleted_dir);
    EXPECT_EQ(names.at(dangling).in, ds::NamedIn::live_dir);
}

TEST_F(DeletedNames, DeletedDirectoriesNamingEachOtherStillEndAtAnUnnamedTop) {
    dsb::DatastoreOptions o;
    o.path = dir.file("cycle.img");
    dsb::ImageBuilder ds(o);
    const uint32_t c1 = ds.mkdir("/c1");
    const uint32_t c2 = ds.mkdir("/c1/c2");
    const uint32_t f = ds.add_file("/c1/c2/f.txt", dsb::text_file("deep\n"));
    ds.add_dirent(c2, kTypeDirectory, c1, "back");   // damage: a loop of names
    ds.remove("/c1");
    ds.finish();
    ASSERT_TRUE(rectest::open_datastore(store, ds));
    ds::DeletedNames names;
    const auto rows = named_rows(store, &names);
    ASSERT_TRUE(rows.contains(c1) && rows.contains(c2) && rows.contains(f));
    ASSERT_TRUE(names.contains(f));
    // The loop is cut where it closes: the path starts at a directory of it.
    const uint32_t top = names.at(f).unnamed_top;
    EXPECT_TRUE(top == c1 || top == c2) << top;
    EXPECT_TRUE(names.at(f).path.ends_with("c2/f.txt")) << names.at(f).path;
}

TEST_F(DeletedNames, DirectoriesFoundAfterAReformatNameWhatTheyHeld) {
    dsb::FormattedSummary sum = dsb::build_formatted(dir.path().string());
    ASSERT_TRUE(rectest::open_images(store, sum.images, sum.start_sector));
    const uint32_t plan = id_in(store, sum.intact_dir, "plan.txt");
    const uint32_t deep = sum.file_in_deep.id;
    const uint32_t disk = sum.file_in_reused.id;
    const std::string projects = "$deleted/" + std::to_string(sum.intact_dir) + "/";

    struct Case {
        bool format_scan;
        std::map<uint32_t, std::optional<std::string>> paths;
    };
    const Case cases[] = {
        // Without the format recovery the directories are deleted ones; the
        // reused directory's first block holds another file's bytes, so
        // nothing in it is trusted.
        {false,
         {{plan, projects + "plan.txt"}, {deep, projects + "archive/2009.log"}, {disk, std::nullopt}}},
        // With it, the found directories give their paths, the reused one
        // read through the sub-block that kept its entries.
        {true,
         {{plan, "DIR1/plan.txt"}, {deep, "DIR1/archive/2009.log"}, {disk, "DIR2/vm-old-flat.vmdk"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format_scan ? "after the format recovery" : "without it");
        if (c.format_scan) {
            ASSERT_EQ(store.scan_formatted([](int) { return true; }).end, ds::ScanEnd::finished);
        }
        const auto rows = named_rows(store);
        for (const auto& [id, path] : c.paths) {
            ASSERT_TRUE(rows.contains(id)) << id;
            EXPECT_EQ(rows.at(id), path) << id;
        }
    }
}

TEST_F(DeletedNames, StopsWhenAskedAndNamesNothingBeforeTheOpening) {
    dsb::DemoSummary sum = dsb::build_demo(dir.path().string());
    std::vector<ds::DeletedItem> items = {{sum.deleted_file.id, false}, {sum.deleted_dir.id, true}};
    EXPECT_TRUE(store.name_deleted(items).empty());
    ASSERT_TRUE(rectest::open_images(store, sum.images, sum.start_sector));
    // Asked to stop at once: the deleted directory is never read.
    const uint32_t readme = id_in(store, sum.deleted_dir.id, "readme.txt");
    items.push_back({readme, false});
    ds::DeletedNameOptions stop;
    stop.go_on = [] { return false; };
    EXPECT_FALSE(store.name_deleted(items, stop).contains(readme));
    const ds::DeletedNames names = store.name_deleted(items);
    ASSERT_TRUE(names.contains(readme));
    EXPECT_EQ(ds::deleted_path_text(names.at(readme)), "$deleted/" + std::to_string(sum.deleted_dir.id) + "/readme.txt");
}

} // namespace
