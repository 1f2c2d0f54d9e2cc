// Folder export in the core: the copy mirrors the tree, the manifest tells
// what each host file is, and damage (odd names, cycles, unreadable blocks)
// is reported without stopping the rest.

#include "vmfs/store.h"
#include "evidence_support.h"

#include "recovery/formatted_dirs.h"
#include "support/open_images.h"
#include "support/formatted.h"
#include "export/dir_names.h"
#include "export/folder_export.h"
#include "text/name_text.h"
#include "vmfs/blockid.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;

TEST(HostNames, EncodeWhatTheHostCannotHoldAndDecodeBack) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"vm1.vmx", "vm1.vmx"},
        {"résumé-日本.txt", "résumé-日本.txt"},
        {"a/b", "a%2Fb"},
        {"100%", "100%25"},
        {"%2F", "%252F"},
        {"", "%"},
        {".", "%2E"},
        {"..", "%2E%2E"},
        {"...", "..."},
        {".hidden", ".hidden"},
        {std::string("nul\0in", 6), "nul%00in"},
        {"caf\xE9", "caf%E9"},             // Latin-1, not UTF-8
        {"\xED\xA0\x80", "%ED%A0%80"},     // a UTF-16 surrogate
        {"\xC0\xAF", "%C0%AF"},            // an overlong "/"
        {"a\x1B[2Jb\x07", "a%1B[2Jb%07"},    // a terminal's escape and its bell
        {"two\nlines\x7F", "two%0Alines%7F"},
        {"back\\slash", "back\\slash"},     // a host name may hold it
    };
    for (const auto& [raw, host] : cases) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(ds::host_name_encode(raw), host);
        std::string back;
        ASSERT_TRUE(ds::host_name_decode(host, back));
        EXPECT_EQ(back, raw);
    }
    std::string out;
    for (const char* bad : {"%G0", "%4", "50%", "%%"}) EXPECT_FALSE(ds::host_name_decode(bad, out)) << bad;

    // Printed names come from the same escaping with "\x" as the mark: the
    // mark's backslash, "/", every control character (C1 too) and every
    // byte that is not UTF-8.
    const std::vector<std::pair<std::string, std::string>> printed = {
        {"vm1.vmx", "vm1.vmx"},
        {"résumé-日本.txt", "résumé-日本.txt"},
        {"100%", "100%"},
        {"a\x1B[31mred\x07\nx", "a\\x1B[31mred\\x07\\x0Ax"},
        {"back\\slash", "back\\x5Cslash"},
        {"\\x41", "\\x5Cx41"},   // looks like an escape: its backslash is escaped
        {"a/b", "a\\x2Fb"},
        {"caf\xE9", "caf\\xE9"},
        {"\xC2\x9B" "2J", "\\xC2\\x9B2J"},   // U+009B, a terminal's one-byte CSI
        {std::string("nul\0", 4), "nul\\x00"},
    };
    for (const auto& [raw, text] : printed) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ds::printable_name(raw), text);
        std::string back;
        ASSERT_TRUE(ds::printable_name_decode(text, back));
        EXPECT_EQ(back, raw);
    }
}

TEST(HostNames, NamesTooLongForTheHostAreShortenedAtABoundaryAndStayApart) {
    bool shortened = true;
    EXPECT_EQ(ds::host_name_fit("vm1.vmx", shortened), "vm1.vmx");
    EXPECT_FALSE(shortened);
    // 239 bytes after encoding still fit as they are.
    const std::string fits = std::string(79, '\xFF') + "ab";
    EXPECT_EQ(ds::host_name_fit(fits, shortened), ds::host_name_encode(fits));
    EXPECT_FALSE(shortened);

    // 128 bytes that are not UTF-8 encode to 384.
    const std::string a(128, '\xFF');
    std::string b = a;
    b.back() = '\xFE';
    const std::string ha = ds::host_name_fit(a, shortened);
    EXPECT_TRUE(shortened);
    EXPECT_LE(ha.size(), 239u);
    EXPECT_NE(ha, ds::host_name_fit(b, shortened));   // same start, different names
    // The cut leaves whole escapes: what stands before the mark decodes to
    // the start of the name.
    const std::string head = ha.substr(0, ha.rfind('~'));
    std::string raw_head;
    ASSERT_TRUE(ds::host_name_decode(head, raw_head));
    EXPECT_EQ(a.compare(0, raw_head.size(), raw_head), 0);

    // Whole UTF-8 characters only, and the extension kept.
    std::string euro;
    for (int i = 0; i < 90; ++i) euro += "\xE2\x82\xAC";
    const std::string he = ds::host_name_fit(euro + ".vmdk", shortened);
    EXPECT_TRUE(shortened);
    EXPECT_LE(he.size(), 239u);
    ASSERT_GE(he.size(), 5u);
    EXPECT_EQ(he.substr(he.size() - 5), ".vmdk");
    const std::string euro_head = he.substr(0, he.rfind('~'));
    EXPECT_EQ(euro_head.size() % 3, 0u);
    EXPECT_EQ(euro.compare(0, euro_head.size(), euro_head), 0);
}

// Host names of one directory, settled from its listing: the names given
// and the ".partial" name of each entry's copy never meet another entry's.
TEST(HostNames, RepeatsAreNumberedAndCopiesInProgressAvoidEveryName) {
    struct Case {
        std::vector<std::string> listing, given, partial;
    };
    const std::vector<Case> cases = {
        {{"a", "b"}, {"a", "b"}, {"a.partial", "b.partial"}},
        {{"a", "a", "a~2", "a"}, {"a", "a~2", "a~2~2", "a~3"}, {"a.partial", "a~2.partial", "a~2~2.partial", "a~3.partial"}},
        {{"x", "x.partial", "x.partial"}, {"x", "x.partial", "x.partial~2"}, {"x.partial~3", "x.partial.partial", "x.partial~2.partial"}},
        {{"y", "y.partial", "y.partial~2"}, {"y", "y.partial", "y.partial~2"}, {"y.partial~3", "y.partial.partial", "y.partial~2.partial"}},
    };
    for (const Case& c : cases) {
        ds::DirNames names;
        for (const std::string& n : c.listing) names.add(n);
        if (names.seal())
            for (const std::string& n : c.listing) names.number(n);
        std::vector<std::string> given, partial;
        for (const std::string& n : c.listing) given.push_back(names.next(n));
        for (const std::string& n : given) partial.push_back(names.partial(n));
        EXPECT_EQ(given, c.given);
        EXPECT_EQ(partial, c.partial);
    }
}

class FolderExport : public dstest::WithDatastore {};

const nlohmann::json* manifest_item(const nlohmann::json& m, const std::string& path) {
    for (const nlohmann::json& it : m["items"])
        if (it["path"] == path) return &it;
    return nullptr;
}

TEST_F(FolderExport, CopiesAVirtualMachineFolderWithItsManifest) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    const std::string dest = out.file("vm1");
    std::vector<std::pair<int64_t, int64_t>> reports;
    ds::FolderExportOptions o;
    o.source_text = "/vm1";
    o.progress = [&](int64_t done, int64_t total) {
        reports.emplace_back(done, total);
        return true;
    };
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, dest, o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(r.files, 4);
    EXPECT_EQ(r.directories, 2);

    const std::vector<std::string> files = {"vm1.vmx", "vm1.nvram", "vm1.log", "snapshots/vm1-Snapshot1.vmsn"};
    int64_t total = 0;
    const nlohmann::json m = read_json(dest + ".manifest.json");
    ASSERT_FALSE(m.is_discarded());
    EXPECT_EQ(m["source"], "/vm1");
    EXPECT_EQ(m["complete"], true);
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const dsb::ObjectExpect& o = clitest::object(d, "/vm1/" + f);
        EXPECT_EQ(clitest::compare_file(dest + "/" + f, o.content, o.size), "");
        const nlohmann::json* it = manifest_item(m, f);
        ASSERT_NE(it, nullptr);
        EXPECT_EQ((*it)["host_path"], f);
        EXPECT_EQ((*it)["sha256"], sha256_of_content(o.content, o.size));
        EXPECT_EQ((*it)["id"], o.id);
        EXPECT_EQ((*it)["size"], o.size);
        EXPECT_EQ((*it)["status"], "ok");
        // 2009-02-13T23:31:30Z is 1234567890, the builder's first time.
        EXPECT_EQ((*it)["modified"].get<std::string>().size(), 20u);
        struct stat st {};
        ASSERT_EQ(::stat((dest + "/" + f).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, static_cast<time_t>(o.update_time));
        total += static_cast<int64_t>(o.size);
    }
    const nlohmann::json* snap = manifest_item(m, "snapshots");
    ASSERT_NE(snap, nullptr);
    EXPECT_EQ((*snap)["type"], "dir");
    EXPECT_EQ((*snap)["id"], d.snapshot_dir);
    EXPECT_EQ(r.bytes, total);
    // Progress covers the whole folder, in order, and ends at its total.
    ASSERT_FALSE(reports.empty());
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].second, total);
        if (i > 0) {
            EXPECT_GE(reports[i].first, reports[i - 1].first);
        }
    }
    EXPECT_EQ(reports.back().first, total);

    // Nothing on the host is ever replaced: a second run refuses.
    ds::FolderExportResult again = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, dest);
    EXPECT_EQ(again.refused, ds::FolderRefusal::not_empty);
    EXPECT_EQ(refusal_text(again), dest + " is not empty");
    dstest::write_file(out.file("plain"), {1, 2, 3});
    ds::FolderExportResult onto_file = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, out.file("plain"));
    EXPECT_EQ(onto_file.refused, ds::FolderRefusal::not_directory);
    EXPECT_EQ(refusal_text(onto_file), out.file("plain") + " exists and is not a directory");
    EXPECT_EQ(dstest::read_file(out.file("plain")), std::vector<uint8_t>({1, 2, 3}));
}

// Every refusal comes back as a code, the path it is about and the host's
// reason; the words the front ends show for it stay those they showed, and
// nothing is written on the host before a refusal.
TEST_F(FolderExport, RefusalsAreCodesWordedAsBeforeAndWriteNothing) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    const ds::Node vm1{d.ids.at("/vm1"), -1};
    dstest::TempDir out;

    const ds::FolderExportResult none = ds::folder_export(store, vm1, "");
    EXPECT_EQ(none.refused, ds::FolderRefusal::no_destination);
    EXPECT_EQ(refusal_text(none), "no destination directory given");

    const ds::FolderExportResult missing = ds::folder_export(store, vm1, out.file("missing/vm1"));
    EXPECT_EQ(missing.refused, ds::FolderRefusal::destination_not_opened);
    EXPECT_EQ(missing.sys_errno, ENOENT);
    EXPECT_EQ(refusal_text(missing), "cannot open " + out.file("missing") + ": No such file or directory");

    const ds::FolderExportResult root = ds::folder_export(store, vm1, "/");
    EXPECT_EQ(root.refused, ds::FolderRefusal::no_parent);
    EXPECT_EQ(refusal_text(root), "/ has no directory above it to hold the manifest");

    dstest::write_file(out.file("kept.manifest.json"), {'{', '}'});
    const ds::FolderExportResult kept = ds::folder_export(store, vm1, out.file("kept"));
    EXPECT_EQ(kept.refused, ds::FolderRefusal::manifest_exists);
    EXPECT_EQ(refusal_text(kept), "refusing to replace the manifest " + out.file("kept.manifest.json"));

    fs::create_directory(out.file("odd.manifest.json"));
    ds::FolderExportOptions replace;
    replace.replace_manifest = true;
    const ds::FolderExportResult odd = ds::folder_export(store, vm1, out.file("odd"), replace);
    EXPECT_EQ(odd.refused, ds::FolderRefusal::manifest_not_replaceable);
    EXPECT_EQ(refusal_text(odd), "refusing to replace " + out.file("odd.manifest.json") + ", which is not a manifest");

    for (const ds::FolderExportResult* r : {&none, &missing, &root, &kept, &odd}) {
        EXPECT_FALSE(r->manifest_written);
        EXPECT_EQ(r->files + r->directories + r->bytes, 0);
    }
    EXPECT_FALSE(fs::exists(out.file("kept")));
    EXPECT_FALSE(fs::exists(out.file("odd")));
    EXPECT_EQ(dstest::read_file(out.file("kept.manifest.json")), std::vector<uint8_t>({'{', '}'}));
}

TEST_F(FolderExport, OddNamesCyclesAndAnUnreadableFileAreReportedAndTheRestIsCopied) {
    dstest::TempDir dir;
    const std::string img = dir.file("odd.img");
    uint32_t top = 0, sub = 0, good = 0, bad = 0, other = 0;
    const uint64_t bad_size = 3 * dsb::layout::kMiB + 5;
    clitest::make_datastore(
        img,
        [&](dsb::ImageBuilder& ds) {
            top = ds.mkdir("/top");
            sub = ds.mkdir("/top/sub");
            good = ds.add_file("/top/good", dsb::text_file("good bytes\n"));
            bad = ds.add_file("/top/bad", dsb::generated_file(bad_size, dsb::pattern_content(9), dsb::Storage::FileBlocks));
            other = ds.add_file("/top/sub/inner", dsb::text_file("inner\n"));
            ds.add_dirent(top, dsb::layout::kTypeRegular, good, "a/b");
            ds.add_dirent(top, dsb::layout::kTypeRegular, good, "100%");
            ds.add_dirent(top, dsb::layout::kTypeRegular, good, "   ");          // cleaned to ""
            ds.add_dirent(top, dsb::layout::kTypeRegular, good, "caf\xE9");
            ds.add_dirent(top, dsb::layout::kTypeRegular, good, "good");         // the same name twice
            ds.add_dirent(top, dsb::layout::kTypeRegular, other, "bad.partial"); // where bad's copy would go
            ds.add_dirent(top, dsb::layout::kTypeDirectory, good, "not-a-dir");  // a file marked as a directory
            ds.add_dirent(sub, dsb::layout::kTypeDirectory, top, "up");         // a cycle
            ds.add_dirent(top, dsb::layout::kTypeDirectory, sub, "sub-again");  // a second link
        },
        [&](dsb::ImageBuilder& ds) { clitest::point_block_past_the_volume(ds, bad, 2, 4); });   // bad's third block
    dsb::ImageSummary s;
    s.images = {img};
    ASSERT_TRUE(dstest::open_images(store, s).message.empty());

    const std::string dest = dir.file("out");
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{top, -1}, dest);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    EXPECT_FALSE(r.complete());
    EXPECT_TRUE(r.manifest_written);

    const std::vector<uint8_t> good_bytes = dsb::materialize(dsb::text_content("good bytes\n"), 0, 11);
    for (const char* name : {"good", "a%2Fb", "100%25", "%", "caf%E9", "good~2", "not-a-dir"})
        EXPECT_EQ(dstest::read_file(dest + "/" + name), good_bytes) << name;
    EXPECT_EQ(dstest::read_file(dest + "/bad.partial"), dsb::materialize(dsb::text_content("inner\n"), 0, 6));
    EXPECT_EQ(dstest::read_file(dest + "/sub/inner"), dsb::materialize(dsb::text_content("inner\n"), 0, 6));
    // bad keeps its first two megabytes under a name no entry has.
    EXPECT_FALSE(fs::exists(dest + "/bad"));
    EXPECT_EQ(clitest::compare_file(dest + "/bad.partial~2", dsb::pattern_content(9), 2 * dsb::layout::kMiB), "");
    // Neither the cycle nor the second link is followed or created.
    EXPECT_FALSE(fs::exists(dest + "/sub/up"));
    EXPECT_FALSE(fs::exists(dest + "/sub-again"));

    std::map<std::string, const ds::FolderItem*> by_path;
    for (const ds::FolderItem& it : r.items) by_path[it.path] = &it;
    ASSERT_TRUE(by_path.count("bad") && by_path.count("sub/up") && by_path.count("sub-again") &&
                by_path.count("caf\\xE9") && by_path.count("a\\x2Fb") && by_path.count("\"\""));
    // The name cleaned to nothing is shown as "" (its exact bytes are the item's name).
    EXPECT_EQ(by_path["\"\""]->name, "");
    EXPECT_EQ(by_path["\"\""]->host_path, "%");
    EXPECT_EQ(by_path["bad"]->status, ds::FolderItemStatus::partial);
    EXPECT_EQ(by_path["bad"]->host_path, "bad.partial~2");
    EXPECT_EQ(by_path["bad"]->bytes_written, 2 * static_cast<int64_t>(dsb::layout::kMiB));
    EXPECT_EQ(by_path["bad"]->sha256, sha256_of_file(dest + "/bad.partial~2"));
    EXPECT_EQ(by_path["sub/up"]->status, ds::FolderItemStatus::not_followed);
    EXPECT_EQ(by_path["sub/up"]->detail, "a cycle: it is the exported directory again");
    EXPECT_EQ(by_path["sub-again"]->status, ds::FolderItemStatus::not_followed);
    EXPECT_EQ(by_path["sub-again"]->detail, "a second link to sub, copied there");
    EXPECT_EQ(by_path["caf\\xE9"]->host_path, "caf%E9");
    EXPECT_EQ(by_path["caf\\xE9"]->name, "caf\xE9");
    EXPECT_TRUE(by_path["a\\x2Fb"]->renamed);
    EXPECT_EQ(r.failures, 3);
    EXPECT_EQ(r.renamed, 5);   // a/b, 100%, "", café and the second good
    EXPECT_EQ(r.files, 9);     // all but bad

    const nlohmann::json m = read_json(dest + ".manifest.json");
    ASSERT_FALSE(m.is_discarded());
    EXPECT_EQ(m["complete"], false);
    EXPECT_EQ(m["failures"], 3);
}

// A wide directory is copied and reported item by item, and one that holds
// more entries than the volume has descriptors ends the copy there.
TEST_F(FolderExport, AWideDirectoryIsReportedAsItIsCopiedAndOneNameRepeatedIsNumbered) {
    dstest::TempDir dir;
    const std::string img = dir.file("wide.img");
    constexpr int kSame = 300;
    uint32_t top = 0, over = 0;
    clitest::make_datastore(img, [&](dsb::ImageBuilder& ds) {
        top = ds.mkdir("/wide");
        const uint32_t f = ds.add_file("/wide/same", dsb::text_file("s"));
        for (int k = 1; k < kSame; ++k) ds.add_dirent(top, dsb::layout::kTypeRegular, f, "same");
        ds.add_dirent(top, dsb::layout::kTypeRegular, f, "same~2");   // what the second "same" would be called
        ds.mkdir("/wide/sub");
        ds.add_file("/wide/sub/inner", dsb::text_file("i"));
        over = ds.mkdir("/over");
        // Entries past any descriptor the volume has: nothing to copy, and
        // more of them than it has slots.
        for (int k = 0; k < 2000; ++k)
            ds.add_dirent(over, dsb::layout::kTypeRegular, ds::fd_build(30000, 5), "o" + std::to_string(k));
    });
    dsb::ImageSummary s;
    s.images = {img};
    ASSERT_TRUE(dstest::open_images(store, s).message.empty());

    std::vector<std::string> reported;
    ds::FolderExportOptions o;
    o.item_done = [&](const ds::FolderItem& it) { reported.push_back(it.path + " -> " + it.host_path); };
    const std::string dest = dir.file("out");
    const ds::FolderExportResult r = ds::folder_export(store, ds::Node{top, -1}, dest, o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(r.files, kSame + 2);
    EXPECT_EQ(r.renamed, kSame);   // every "same" but the first, and "same~2" itself
    EXPECT_EQ(r.items.size(), static_cast<size_t>(kSame));   // only the renamed ones

    const nlohmann::json m = read_json(dest + ".manifest.json");
    ASSERT_EQ(m["items"].size(), reported.size());
    for (size_t i = 0; i < reported.size(); ++i)
        EXPECT_EQ(m["items"][i]["path"].get<std::string>() + " -> " + m["items"][i]["host_path"].get<std::string>(),
                  reported[i]);
    // Parents first, in the order met; names are given in listing order, so
    // the entry really named "same~2" finds its name taken by a repeat.
    EXPECT_EQ(reported.front(), ". -> .");
    EXPECT_EQ(reported[1], "same -> same");
    EXPECT_EQ(reported[2], "same -> same~2");
    EXPECT_EQ(reported[kSame], "same -> same~" + std::to_string(kSame));
    EXPECT_EQ(reported[kSame + 1], "same~2 -> same~2~2");
    EXPECT_EQ(reported[kSame + 2], "sub -> sub");
    EXPECT_EQ(reported[kSame + 3], "sub/inner -> sub/inner");
    size_t on_host = 0;
    for (const auto& e : fs::directory_iterator(dest)) on_host += e.is_regular_file();
    EXPECT_EQ(on_host, static_cast<size_t>(kSame + 1));
    EXPECT_EQ(m["files"], kSame + 2);

    const ds::FolderExportResult cut = ds::folder_export(store, ds::Node{over, -1}, dir.file("over"));
    ASSERT_EQ(cut.refused, ds::FolderRefusal::none) << refusal_text(cut);
    EXPECT_FALSE(cut.complete());
    EXPECT_EQ(cut.files, 0);
    const nlohmann::json cm = read_json(dir.file("over.manifest.json"));
    EXPECT_EQ(cm["complete"], false);
    EXPECT_EQ(cm["items"][0]["status"], "incomplete");
    EXPECT_GT(cm["items"].size(), 1000u);
    EXPECT_LT(cm["items"].size(), 2000u);
    EXPECT_EQ(cm["failures"], cm["items"].size());
}

// Only the directories along the current path hold their names: a sibling
// copied after a large one settles its own. One whose names do not fit keeps
// its entries' own names: a repeat never replaces the first, it stays under
// its ".partial" name and is reported so.
TEST_F(FolderExport, NamesAreHeldAlongThePathAndADirectoryPastTheBoundNumbersNothing) {
    dstest::TempDir dir;
    const std::string img = dir.file("held.img");
    uint32_t top = 0;
    clitest::make_datastore(img, [&](dsb::ImageBuilder& ds) {
        top = ds.mkdir("/t");
        for (int k = 0; k < 24; ++k) ds.add_file("/t/a/f" + std::to_string(k), dsb::text_file("a"));
        for (int k = 0; k < 24; ++k) ds.add_file("/t/b/f" + std::to_string(k), dsb::text_file("b"));
        ds.add_file("/t/b/c/same", dsb::text_file("first"));
        const uint32_t second = ds.add_file("/t/b/c/other", dsb::text_file("second"));
        ds.add_dirent(ds.lookup("/t/b/c"), dsb::layout::kTypeRegular, second, "same");
    });
    dsb::ImageSummary s;
    s.images = {img};
    ASSERT_TRUE(dstest::open_images(store, s).message.empty());

    ds::FolderExportOptions o;
    o.names_held_limit = 30;   // t's two names and one directory of 25 beside them
    const std::string dest = dir.file("out");
    const ds::FolderExportResult r = ds::folder_export(store, ds::Node{top, -1}, dest, o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    const nlohmann::json m = read_json(dest + ".manifest.json");
    ASSERT_NE(manifest_item(m, "b"), nullptr);
    EXPECT_EQ(manifest_item(m, "b")->count("detail"), 0u) << "a's names were let go when a ended";
    ASSERT_NE(manifest_item(m, "b/c"), nullptr);
    EXPECT_NE((*manifest_item(m, "b/c"))["detail"].get<std::string>().find("too many entries"), std::string::npos);
    EXPECT_EQ(dstest::read_file(dest + "/b/c/same"), dsb::materialize(dsb::text_content("first"), 0, 5));
    EXPECT_EQ(dstest::read_file(dest + "/b/c/same.partial"), dsb::materialize(dsb::text_content("second"), 0, 6));
    EXPECT_FALSE(fs::exists(dest + "/b/c/same~2"));
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(r.failures, 1);
    ASSERT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.items[0].path, "b/c/same");
    EXPECT_EQ(r.items[0].host_path, "b/c/same.partial");
    EXPECT_EQ(r.items[0].status, ds::FolderItemStatus::partial);
    EXPECT_EQ(r.files, 24 + 24 + 2);

    // With room for them, the same names are numbered.
    const ds::FolderExportResult whole = ds::folder_export(store, ds::Node{top, -1}, dir.file("whole"));
    EXPECT_TRUE(whole.complete());
    EXPECT_EQ(dstest::read_file(dir.file("whole/b/c/same~2")), dsb::materialize(dsb::text_content("second"), 0, 6));
}

TEST_F(FolderExport, AFoundDirectoryReadsItsEntriesFromTheSubBlockTheRecoveryFound) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    ASSERT_TRUE(dstest::open_images(store, f).message.empty());
    ASSERT_EQ(dstest::find_formatted(store, {}, [](const ds::FoundDir&) {}), ds::ScanEnd::finished);
    int64_t first_block = -1;
    for (const ds::FoundDir& d : ds::internals(store).found_dirs)
        if (d.dir_id == f.reused_dir) first_block = d.first_block;
    ASSERT_NE(first_block, -1);

    ds::FolderExportResult r = ds::folder_export(store, ds::Node{f.reused_dir, first_block}, dir.file("dir2"));
    ASSERT_TRUE(r.complete());
    const std::string name = f.file_in_reused.path.substr(f.file_in_reused.path.rfind('/') + 1);
    EXPECT_EQ(clitest::compare_file(dir.file("dir2/" + name), f.file_in_reused.content, f.file_in_reused.size), "");
}

TEST_F(FolderExport, AFileWhoseEncodedNameIsTooLongIsCopiedUnderAShortenedName) {
    dstest::TempDir dir;
    const std::string img = dir.file("long.img");
    const std::string long_name(128, '\xFF');
    uint32_t top = 0;
    clitest::make_datastore(img, [&](dsb::ImageBuilder& ds) {
        top = ds.mkdir("/top");
        const uint32_t f = ds.add_file("/top/short", dsb::text_file("long named\n"));
        ds.add_dirent(top, dsb::layout::kTypeRegular, f, long_name);
    });
    dsb::ImageSummary s;
    s.images = {img};
    ASSERT_TRUE(dstest::open_images(store, s).message.empty());
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{top, -1}, dir.file("out"));
    ASSERT_TRUE(r.complete()) << refusal_text(r);
    EXPECT_EQ(r.files, 2);
    EXPECT_EQ(r.renamed, 1);
    bool shortened = false;
    const std::string host = ds::host_name_fit(long_name, shortened);
    EXPECT_EQ(dstest::read_file(dir.file("out/" + host)), dsb::materialize(dsb::text_content("long named\n"), 0, 11));
    const nlohmann::json m = read_json(dir.file("out.manifest.json"));
    const nlohmann::json* item = nullptr;
    for (const nlohmann::json& it : m["items"])
        if (it["host_path"] == host) item = &it;
    ASSERT_NE(item, nullptr);
    EXPECT_EQ((*item)["detail"], "name too long for the host; shortened");
}

TEST_F(FolderExport, EveryFoundDirectoryGoesIntoAFolderOfItsOwn) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    ASSERT_TRUE(dstest::open_images(store, f).message.empty());
    ASSERT_EQ(dstest::find_formatted(store, {}, [](const ds::FoundDir&) {}), ds::ScanEnd::finished);
    std::vector<ds::FolderSource> sources;
    std::string reused_name;
    for (const ds::FoundDir& d : ds::internals(store).found_dirs) {
        sources.push_back({ds::Node{d.dir_id, ds::found_dir_first_block(store, d.number)}, "DIR" + std::to_string(d.number)});
        if (d.dir_id == f.reused_dir) reused_name = sources.back().name;
    }
    ASSERT_GE(sources.size(), 2u);
    ASSERT_FALSE(reused_name.empty());

    ds::FolderExportResult r = ds::folder_export_set(store, sources, dir.file("all"));
    ASSERT_TRUE(r.complete()) << refusal_text(r);
    EXPECT_GE(r.directories, static_cast<int64_t>(sources.size()) + 1);
    for (const ds::FolderSource& s : sources) EXPECT_TRUE(fs::is_directory(dir.file("all/" + s.name))) << s.name;
    // The directory whose first block was reused is read through the found sub-block.
    const std::string name = f.file_in_reused.path.substr(f.file_in_reused.path.rfind('/') + 1);
    EXPECT_EQ(clitest::compare_file(dir.file("all/" + reused_name + "/" + name), f.file_in_reused.content,
                                    f.file_in_reused.size),
              "");
    const nlohmann::json m = read_json(dir.file("all.manifest.json"));
    EXPECT_EQ(m["complete"], true);
    EXPECT_EQ(m["id"], 0);
    ASSERT_NE(manifest_item(m, reused_name), nullptr);
    // Nothing to copy into an occupied directory, as for a single folder.
    EXPECT_EQ(ds::folder_export_set(store, sources, dir.file("all")).refused, ds::FolderRefusal::not_empty);
}

TEST_F(FolderExport, CancellingKeepsTheFileInHandAsPartialAndListsWhatWasNotReached) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    ds::FolderExportOptions o;
    o.progress = [](int64_t, int64_t) { return false; };
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, out.file("vm1"), o);
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.complete());
    EXPECT_TRUE(fs::exists(out.file("vm1/vm1.vmx")));   // inline: copied before the first report
    EXPECT_TRUE(fs::exists(out.file("vm1/vm1.nvram.partial")));
    EXPECT_FALSE(fs::exists(out.file("vm1/vm1.log")));
    EXPECT_FALSE(fs::exists(out.file("vm1/vm1.log.partial")));
    const nlohmann::json m = read_json(out.file("vm1.manifest.json"));
    EXPECT_EQ(m["cancelled"], true);
    const nlohmann::json* log = manifest_item(m, "vm1.log");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ((*log)["status"], "cancelled");
    // The file in hand was stopped by the cancel; the later ones were never reached.
    auto item = [&r](const std::string& path) {
        auto it = std::find_if(r.items.begin(), r.items.end(), [&](const ds::FolderItem& i) { return i.path == path; });
        return it == r.items.end() ? ds::FolderItem{} : *it;
    };
    EXPECT_EQ(item("vm1.nvram").why, ds::FolderItemWhy::copy_failed);
    EXPECT_EQ(item("vm1.nvram").export_failure, ds::ExportFailure::cancelled);
    EXPECT_EQ(item("vm1.log").why, ds::FolderItemWhy::not_reached);
}

TEST_F(FolderExport, ASingleFileGoesIntoTheDirectoryUnderItsName) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    ds::FolderExportOptions o;
    o.file_name = "#" + std::to_string(d.deleted_file.id);
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.deleted_file.id, -1}, out.file("gone"), o);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(r.files, 1);
    EXPECT_EQ(clitest::compare_file(out.file("gone/" + o.file_name), d.deleted_file.content, d.deleted_file.size), "");
    EXPECT_EQ(ds::folder_export(store, ds::Node{0xFFFFFFF4u, -1}, out.file("none")).refused, ds::FolderRefusal::source_unreadable);
    EXPECT_FALSE(fs::exists(out.file("none")));
}

} // namespace
} // namespace evtest
