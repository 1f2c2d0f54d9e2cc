// info, ls and tree on builder datastores: the pane's lines, listing order
// and filtering, path resolution, and JSON that parses.

#include "cli_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

using Lines = std::vector<std::string>;

std::string id_of(const dsb::ImageSummary& s, const std::string& path) { return std::to_string(s.ids.at(path)); }

TEST(CliInfo, PrintsThePaneLineByLineAndOneMemberLinePerDisk) {
        RunResult r = run_cli(with_disks(demo().images, {"info"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Lines l = r.out_lines();
    ASSERT_EQ(l.size(), 11u) << r.out;
    EXPECT_EQ(l[0], "lvm numofextents:1");
    EXPECT_EQ(l[1], "lvm size:536870912");
    EXPECT_EQ(l[2], "lvm loaded_extents:1");
    EXPECT_EQ(l[3].rfind("1>" + demo().images[0] + "|size:", 0), 0u) << l[3];
    EXPECT_EQ(l[4], "-------------------------------");
    EXPECT_EQ(l[5], "FSINFO:");
    EXPECT_EQ(l[6], "blocksize:1048576");
    EXPECT_EQ(l[7].rfind("subblocksize:", 0), 0u);
    EXPECT_EQ(l[8].rfind("fdcheader_size:", 0), 0u);
    EXPECT_EQ(l[9].rfind("fdcbitmap_count:", 0), 0u);
    // After the pane: where the volume was found (the builder writes an MBR).
    EXPECT_EQ(l[10], "start_sector 1>" + demo().images[0] + ":2048 (MBR)");
    EXPECT_EQ(r.err, "");

    RunResult two = run_cli(with_disks(multi().images, {"info"}));
    ASSERT_EQ(two.exit_code, 0) << two.err;
    Lines m = two.out_lines();
    EXPECT_EQ(m[2], "lvm loaded_extents:2");
    EXPECT_EQ(m[3].rfind("1>" + multi().images[0] + "|size:", 0), 0u);
    EXPECT_EQ(m[4].rfind("1>" + multi().images[1] + "|size:", 0), 0u);   // the same prefix, not a counter
}

TEST(CliLs, ListsInOnDiskOrderWithoutDotEntriesAndSystemFilesAsFiles) {
    const dsb::DemoSummary& d = demo();
    RunResult r = run_cli(with_disks(d.images, {"ls"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Lines got = r.out_lines();
    ASSERT_EQ(got.size(), 6u) << r.out;
    // The system files keep their on-disk order and show as files.
    const char* sys[] = {".fbb.sf", ".fdc.sf", ".pbc.sf", ".sbc.sf"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].substr(0, 5), "file\t");
        EXPECT_EQ(got[i].substr(got[i].rfind('\t') + 1), sys[i]);
    }
    EXPECT_EQ(got[4], "dir\t" + id_of(d, "/vm1") + "\tvm1");
    EXPECT_EQ(got[5], "dir\t" + id_of(d, "/vm2") + "\tvm2");

    // The same directory by several spellings of its path, and by its id.
    std::string vm2 = run_cli(with_disks(d.images, {"ls", "/vm2"})).out;
    EXPECT_NE(vm2.find("résumé-日本.txt"), std::string::npos);
    EXPECT_EQ(run_cli(with_disks(d.images, {"ls", "vm2/"})).out, vm2);
    EXPECT_EQ(run_cli(with_disks(d.images, {"ls", "/vm1/../vm2/."})).out, vm2);
    EXPECT_EQ(run_cli(with_disks(d.images, {"ls", "#" + id_of(d, "/vm2")})).out, vm2);
}

TEST(CliLs, LongFormatAddsSizeAndUpdateTimeAndAFileListsItself) {
    const dsb::DemoSummary& d = demo();
    const dsb::ObjectExpect& vmx = object(d, "/vm1/vm1.vmx");
    RunResult r = run_cli(with_disks(d.images, {"ls", "-l", "/vm1/vm1.vmx"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    char when[32];
    time_t t = vmx.update_time;
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::gmtime(&t));
    EXPECT_EQ(r.out, "file\t" + std::to_string(vmx.id) + "\tvm1.vmx\t" + std::to_string(vmx.size) + "\t" + when + "\n");
}

// Every case of the time table through every place the command line prints
// a time: ls -l rows and JSON, the deleted-file rows and JSON, the manifest.
TEST(CliTimes, EveryTimeOfTheTableReadsTheSameEverywhere) {
    const std::vector<dstest::TimeCase>& cases = dstest::time_cases();
    const std::string& img = time_table_image();

    RunResult ls = run_cli({"-d", img, "ls", "-l", "/times"});
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    Lines rows = ls.out_lines();
    ASSERT_EQ(rows.size(), cases.size()) << ls.out;
    nlohmann::json lj = nlohmann::json::parse(run_cli({"-d", img, "--json", "ls", "-l", "/times"}).out);
    ASSERT_EQ(lj["entries"].size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name = dstest::time_case_name(i);
        EXPECT_EQ(rows[i].substr(rows[i].rfind('\t') + 1), cases[i].text) << rows[i];
        EXPECT_NE(rows[i].find("\t" + name + "\t"), std::string::npos) << rows[i];
        const nlohmann::json& e = lj["entries"][i];
        EXPECT_EQ(e["update_at"], cases[i].text);
        for (const char* key : {"created", "modified", "accessed"}) EXPECT_EQ(e[key], cases[i].iso) << key;
    }

    RunResult del = run_cli({"-d", img, "deleted"});
    ASSERT_EQ(del.exit_code, 0) << del.err;
    Lines drows = del.out_lines();
    ASSERT_EQ(drows.size(), cases.size() + 1) << del.out;
    nlohmann::json dj = nlohmann::json::parse(run_cli({"-d", img, "--json", "deleted"}).out);
    ASSERT_EQ(dj["rows"].size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string t = cases[i].text;
        EXPECT_EQ(drows[i].substr(drows[i].size() - 3 * (t.size() + 1)), "\t" + t + "\t" + t + "\t" + t);
        const nlohmann::json& row = dj["rows"][i];
        for (const char* key : {"create_at", "last_update_at", "atime"}) EXPECT_EQ(row[key], t) << key;
        for (const char* key : {"created", "modified", "accessed"}) EXPECT_EQ(row[key], cases[i].iso) << key;
    }

    dstest::TempDir out;
    RunResult exp = run_cli({"-d", img, "-q", "export", "-r", "/times", out.file("times")});
    ASSERT_EQ(exp.exit_code, 0) << exp.err;
    std::ifstream in(out.file("times.manifest.json"));
    nlohmann::json m = nlohmann::json::parse(in);
    size_t seen = 0;
    for (const nlohmann::json& item : m["items"]) {
        if (item["type"] != "file") continue;
        ASSERT_LT(seen, cases.size());
        EXPECT_EQ(item["path"], dstest::time_case_name(seen));
        for (const char* key : {"created", "modified", "accessed"}) EXPECT_EQ(item[key], cases[seen].iso) << key;
        ++seen;
    }
    EXPECT_EQ(seen, cases.size());
}

// A planted name with a terminal escape, a bell, a newline, a backslash and
// a byte that is not UTF-8 goes through every command that prints names:
// no raw control byte reaches stdout or stderr, no line is forged, JSON
// carries the exact bytes, and the printed form can be pasted back.
TEST(CliNames, AHostileNameIsEscapedInEveryListing) {
    const std::string raw = "a\x1B[31mred\x07\nforged\\b\xFF.txt";
    const std::string printed = "a\\x1B[31mred\\x07\\x0Aforged\\x5Cb\\xFF.txt";
    const std::string utf8 = "esc\x1B[2J\nline";   // valid UTF-8: JSON keeps it exactly
    dstest::TempDir dir;
    const std::string img = dir.file("names.img");
    uint32_t f = 0, g = 0;
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        f = ds.add_file("/odd/" + raw, dsb::text_file("planted\n"));
        g = ds.add_file("/odd/" + utf8, dsb::text_file("second\n"));
    });
    auto clean = [](const std::string& text) {
        return std::none_of(text.begin(), text.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return (u < 0x20 && c != '\n' && c != '\t') || u == 0x7F || u == 0xFF;
        });
    };
    auto hex = [](const std::string& s) {
        std::string h;
        char b[3];
        for (unsigned char c : s) h += (std::snprintf(b, sizeof b, "%02x", c), b);
        return h;
    };

    RunResult ls = run_cli({"-d", img, "ls", "/odd"});
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    EXPECT_EQ(ls.out_lines(), (Lines{"file\t" + std::to_string(f) + "\t" + printed,
                                     "file\t" + std::to_string(g) + "\tesc\\x1B[2J\\x0Aline"}));
    nlohmann::json lj = nlohmann::json::parse(run_cli({"-d", img, "--json", "ls", "/odd"}).out);
    EXPECT_EQ(lj["entries"][0]["name"], printed);
    EXPECT_EQ(lj["entries"][0]["name_bytes"], hex(raw));
    EXPECT_EQ(lj["entries"][1]["name"], utf8);
    EXPECT_FALSE(lj["entries"][1].contains("name_bytes"));

    RunResult tree = run_cli({"-d", img, "tree"});
    ASSERT_EQ(tree.exit_code, 0) << tree.err;
    EXPECT_TRUE(clean(tree.out)) << tree.out;
    Lines t = tree.out_lines();
    EXPECT_EQ(std::count(t.begin(), t.end(), "/odd/" + printed), 1) << tree.out;
    nlohmann::json tj = nlohmann::json::parse(run_cli({"-d", img, "--json", "tree", "/odd"}).out);
    ASSERT_EQ(tj["nodes"].size(), 2u);
    EXPECT_EQ(tj["nodes"][0]["path"], "/odd/" + printed);
    EXPECT_EQ(tj["nodes"][0]["name_bytes"], hex(raw));

    // What was printed names the file again, as do its exact bytes.
    EXPECT_EQ(run_cli({"-d", img, "ls", "/odd/" + printed}).out_lines().size(), 1u);
    EXPECT_EQ(run_cli({"-d", img, "ls", "/odd/" + raw}).exit_code, 0);
    RunResult missing = run_cli({"-d", img, "ls", "/odd/x\x1B[2J"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(clean(missing.err)) << missing.err;

    // A destination whose own path is not UTF-8.
    const std::string dest = dir.file("copy\xFE");
    RunResult exp = run_cli({"-d", img, "-q", "export", "-r", "/odd", dest});
    ASSERT_EQ(exp.exit_code, 0) << exp.err;
    EXPECT_TRUE(clean(exp.err)) << exp.err;
    EXPECT_EQ(exp.err.find("renamed: " + printed + " -> "), 0u) << exp.err;
    // The digest lines read back with sha256sum -c; --strict fails on any
    // line that is not a digest line, such as one a name forged.
    const std::string sums = dir.file("sums");
    dstest::write_file(sums, std::vector<uint8_t>(exp.out.begin(), exp.out.begin() + exp.out.find("files:")));
    EXPECT_EQ(std::system(("sha256sum --strict --quiet -c '" + sums + "' >/dev/null").c_str()), 0) << exp.out;
    std::ifstream in(dest + ".manifest.json");
    nlohmann::json m = nlohmann::json::parse(in);   // throws on text that is not UTF-8
    EXPECT_EQ(m["destination_bytes"], hex(dest));
    EXPECT_EQ(m["items"][1]["path"], printed);
    EXPECT_EQ(m["items"][1]["name_bytes"], hex(raw));
    EXPECT_EQ(m["items"][2]["name"], utf8);
    RunResult ej = run_cli({"-d", img, "-q", "--json", "export", "-r", "/odd", dir.file("copy2\xFE")});
    nlohmann::json e = nlohmann::json::parse(ej.out);
    EXPECT_EQ(e["dest_bytes"], hex(dir.file("copy2\xFE")));
    EXPECT_EQ(e["items"][1]["name_bytes"], hex(raw));
}

// Characters that reach the terminal through valid UTF-8: a one-character
// CSI (U+009B), which the host encoding keeps in a copied file's name, and a
// right-to-left override, which makes a name display as another. Neither is
// printed raw by a listing or by the lines of an export; a name that is
// empty once cleaned prints as "" rather than as its directory's path.
TEST(CliNames, COneControlsDirectionOverridesAndEmptyNamesPrintVisibly) {
    const std::string csi = "a\xC2\x9B" "2Jred";
    const std::string rlo = "b\xE2\x80\xAEtxt.exe";
    dstest::TempDir dir;
    const std::string img = dir.file("c1.img");
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        ds.add_file("/odd/" + csi, dsb::text_file("csi\n"));
        ds.add_file("/odd/" + rlo, dsb::text_file("rlo\n"));
        ds.add_file("/odd/\"\"", dsb::text_file("quotes\n"));
        const uint32_t f = ds.add_file("/keep", dsb::text_file("blank\n"));
        ds.add_dirent(ds.lookup("/odd"), dsb::layout::kTypeRegular, f, " \x01 ");
        ds.add_dirent(ds.mkdir("/blank"), dsb::layout::kTypeRegular, f, "\x02");
    });
    auto raw_controls = [](const std::string& text) {
        return text.find("\xC2\x9B") != std::string::npos || text.find("\xE2\x80\xAE") != std::string::npos;
    };

    RunResult ls = run_cli({"-d", img, "ls", "/odd"});
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    EXPECT_FALSE(raw_controls(ls.out)) << ls.out;
    Lines names;
    for (const std::string& row : ls.out_lines()) names.push_back(row.substr(row.rfind('\t') + 1));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"\"\"", "\\x22\\x22", "a\\xC2\\x9B2Jred", "b\\xE2\\x80\\xAEtxt.exe"})) << ls.out;
    RunResult tree = run_cli({"-d", img, "tree", "/odd"});
    EXPECT_FALSE(raw_controls(tree.out)) << tree.out;
    EXPECT_NE(tree.out.find("/odd/\"\"\n"), std::string::npos) << tree.out;
    // The printed forms name their entries again: the escaped quotes the
    // file called "", and "" the empty name (where no name is "" itself: a
    // name's stored bytes match first).
    EXPECT_EQ(run_cli({"-d", img, "export", "/odd/\\x22\\x22", "-"}).out, "quotes\n");
    EXPECT_EQ(run_cli({"-d", img, "export", "/blank/\"\"", "-"}).out, "blank\n");

    const std::string dest = dir.file("copy");
    RunResult exp = run_cli({"-d", img, "-q", "export", "-r", "/odd", dest});
    ASSERT_EQ(exp.exit_code, 0) << exp.err;
    EXPECT_FALSE(raw_controls(exp.out)) << exp.out;
    EXPECT_FALSE(raw_controls(exp.err)) << exp.err;
    // Those lines show the printed form, not sha256sum's escapes: they name
    // no file sha256sum could check, and a name with "\" in it prints otherwise.
    bool csi_line = false;
    for (const std::string& line : exp.out_lines())
        csi_line |= line.size() > 66 && line[0] != '\\' && line.substr(64) == "  " + dest + "/a\\xC2\\x9B2Jred";
    EXPECT_TRUE(csi_line) << exp.out;
    EXPECT_NE(exp.err.find("renamed: \"\" -> % ("), std::string::npos) << exp.err;
    // The copy itself keeps the names: only their printing changed.
    EXPECT_TRUE(std::filesystem::exists(dest + "/" + csi));
    EXPECT_TRUE(std::filesystem::exists(dest + "/" + rlo));
}

TEST(CliLs, HidesEntryTypesTheTreeDoesNotShow) {
    dstest::TempDir dir;
    std::string img = dir.file("odd.img");
    uint32_t f = 0;
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        uint32_t sub = ds.mkdir("/sub");
        f = ds.add_file("/sub/kept.txt", dsb::text_file("kept\n"));
        ds.add_dirent(sub, 4, f, "type4");
        ds.add_dirent(sub, 6, f, "link6");
        ds.add_dirent(sub, 0, f, "unused0");
        ds.add_dirent(sub, 9, f, "type9");
        ds.add_dirent(sub, 5, f, "  sys5  ");
        ds.add_dirent(sub, 3, f, ".");
        ds.add_dirent(sub, 3, f, "..");
    });
    RunResult r = run_cli({"-d", img, "ls", "/sub"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string id = std::to_string(f);
    EXPECT_EQ(r.out_lines(), (Lines{"file\t" + id + "\tkept.txt", "file\t" + id + "\tsys5"}));
}

TEST(CliTree, WalksDepthFirstInOnDiskOrderWithTrailingSlashOnDirectories) {
    const dsb::DemoSummary& d = demo();
    RunResult r = run_cli(with_disks(d.images, {"tree"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Lines want = {"/.fbb.sf",
                  "/.fdc.sf",
                  "/.pbc.sf",
                  "/.sbc.sf",
                  "/vm1/",
                  "/vm1/vm1.vmx",
                  "/vm1/vm1.nvram",
                  "/vm1/vm1.log",
                  "/vm1/snapshots/",
                  "/vm1/snapshots/vm1-Snapshot1.vmsn",
                  "/vm2/",
                  "/vm2/vm2-flat.vmdk",
                  "/vm2/vm2-thin.vmdk",
                  "/vm2/résumé-日本.txt"};
    EXPECT_EQ(r.out_lines(), want);

    RunResult sub = run_cli(with_disks(d.images, {"tree", "/vm1/snapshots"}));
    EXPECT_EQ(sub.out_lines(), (Lines{"/vm1/snapshots/vm1-Snapshot1.vmsn"}));
}

TEST(CliTree, EndsOnADirectoryThatContainsItself) {
    dstest::TempDir dir;
    std::string img = dir.file("loop.img");
    make_datastore(img, [](dsb::ImageBuilder& ds) {
        uint32_t a = ds.mkdir("/a");
        ds.add_file("/a/f", dsb::text_file("x"));
        ds.add_dirent(a, 2, a, "again");
        ds.add_dirent(a, 2, ds.root(), "up");
    });
    RunResult r = run_cli({"-d", img, "tree", "/a"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out_lines(), (Lines{"/a/f", "/a/again/", "/a/up/", "/a/up/.fbb.sf", "/a/up/.fdc.sf",
                                    "/a/up/.pbc.sf", "/a/up/.sbc.sf", "/a/up/a/"}));
}

TEST(CliJson, ListingsAndTreesParseAndCarryTheSameData) {
    const dsb::DemoSummary& d = demo();
    RunResult ls = run_cli(with_disks(d.images, {"--json", "ls", "-l", "/vm1"}));
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    nlohmann::json j = nlohmann::json::parse(ls.out);
    EXPECT_EQ(j["path"], "/vm1");
    EXPECT_TRUE(j["complete"].get<bool>());
    ASSERT_EQ(j["entries"].size(), 4u);
    EXPECT_EQ(j["entries"][0]["name"], "vm1.vmx");
    EXPECT_EQ(j["entries"][0]["id"], d.ids.at("/vm1/vm1.vmx"));
    EXPECT_EQ(j["entries"][0]["size"], object(d, "/vm1/vm1.vmx").size);
    EXPECT_EQ(j["entries"][3]["kind"], "dir");

    RunResult tree = run_cli(with_disks(d.images, {"tree", "/vm2"}));
    RunResult jtree = run_cli(with_disks(d.images, {"--json", "tree", "/vm2"}));
    ASSERT_EQ(jtree.exit_code, 0) << jtree.err;
    nlohmann::json t = nlohmann::json::parse(jtree.out);
    Lines paths;
    for (const auto& n : t["nodes"]) paths.push_back(n["path"].get<std::string>());
    EXPECT_EQ(paths, tree.out_lines());
}

TEST(CliPaths, UnknownPathsAndBadIdsAreReportedWithTheCommandsText) {
    const dsb::DemoSummary& d = demo();
    RunResult missing = run_cli(with_disks(d.images, {"ls", "/vm1/nothing"}));
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err.substr(0, 15), "dir open error\n");
    EXPECT_EQ(missing.out, "");

    RunResult through_file = run_cli(with_disks(d.images, {"tree", "/vm1/vm1.vmx/x"}));
    EXPECT_EQ(through_file.exit_code, 1);

    // A file where a directory is wanted: the second line says so and what to do.
    for (const char* cmd : {"tree", "timeline"}) {
        RunResult file = run_cli(with_disks(d.images, {cmd, "/vm1/vm1.vmx"}));
        EXPECT_EQ(file.exit_code, 1) << cmd;
        EXPECT_EQ(file.err, "dir open error\n/vm1/vm1.vmx is a file, not a directory: read it with stat or export\n") << cmd;
    }

    for (std::string bad : {"#", "#x12", "#0x", "#-4", "#4294967296", "#12abc"}) {
        RunResult r = run_cli(with_disks(d.images, {"ls", bad}));
        EXPECT_EQ(r.exit_code, 2) << bad;
    }
    // A descriptor id past the end of ".fdc.sf" names nothing readable.
    RunResult far = run_cli(with_disks(d.images, {"ls", "#0xFFFFFFC4"}));
    EXPECT_EQ(far.exit_code, 1);
    EXPECT_EQ(far.err.substr(0, 15), "dir open error\n");
}

} // namespace
} // namespace clitest
