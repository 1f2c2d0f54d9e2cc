// timeline: a body file that timeline tools read back with our paths and
// times; checked field by field and through mactime itself when installed.

#include "cli_fixture.h"
#include "support/test_support.h"

#include "builder/huge_datastore.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> f;
    size_t pos = 0;
    for (size_t bar; (bar = line.find('|', pos)) != std::string::npos; pos = bar + 1) f.push_back(line.substr(pos, bar - pos));
    f.push_back(line.substr(pos));
    return f;
}

std::string mactime_date(uint32_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%a %b %d %Y %H:%M:%S", &tm);
    return buf;
}

bool have_scans() { return run_cli({"deleted"}).err.find("not available") == std::string::npos; }

TEST(CliTimeline, EveryFileAndDirectoryWithItsIdSizeAndTimes) {
    const dsb::DemoSummary& d = demo();
    RunResult r = run_cli(with_disks(d.images, {"timeline"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, std::vector<std::string>> by_name;
    for (const std::string& line : r.out_lines()) {
        std::vector<std::string> f = fields(line);
        ASSERT_EQ(f.size(), 11u) << line;
        by_name[f[1]] = f;
    }
    // The same nodes as tree, without the trailing slash of directories.
    std::vector<std::string> tree = run_cli(with_disks(d.images, {"tree"})).out_lines();
    EXPECT_EQ(by_name.size(), tree.size());
    for (std::string path : tree) {
        if (path.back() == '/') path.pop_back();
        EXPECT_EQ(by_name.count(path), 1u) << path;
    }
    for (const char* path : {"/vm1", "/vm1/vm1.vmx", "/vm2/vm2-thin.vmdk", "/vm2/résumé-日本.txt"}) {
        SCOPED_TRACE(path);
        const dsb::ObjectExpect& o = object(d, path);
        const std::vector<std::string>& f = by_name[path];
        ASSERT_EQ(f.size(), 11u);
        EXPECT_EQ(f[0], "0");
        EXPECT_EQ(f[2], std::to_string(o.id));
        EXPECT_EQ(f[3], o.type == 2 ? "d/drwxrwxrwx" : "r/rrwxrwxrwx");
        EXPECT_EQ(f[4] + f[5], "00");
        EXPECT_EQ(f[6], std::to_string(o.size));
        EXPECT_EQ(f[7], std::to_string(o.atime));
        EXPECT_EQ(f[8], std::to_string(o.update_time));
        EXPECT_EQ(f[9], "0");
        EXPECT_EQ(f[10], std::to_string(o.create_time));
    }

    // Below a path, only what lies below it.
    RunResult sub = run_cli(with_disks(d.images, {"timeline", "/vm1/snapshots"}));
    ASSERT_EQ(sub.exit_code, 0) << sub.err;
    ASSERT_EQ(sub.out_lines().size(), 1u);
    EXPECT_EQ(fields(sub.out)[1], "/vm1/snapshots/vm1-Snapshot1.vmsn");
    EXPECT_EQ(run_cli(with_disks(d.images, {"timeline", "/vm1/vm1.vmx"})).exit_code, 1);
}

// Thousands of nodes, many more than the walk hands over at once: every
// one comes in the tree's order with its own descriptor's fields, and a
// reader that goes away stops the walk instead of leaving it waiting.
TEST(CliTimeline, AWalkOfThousandsKeepsTheTreesOrderAndStopsWithItsReader) {
    dstest::TempDir dir;
    dsb::HugeOptions options = dsb::huge_options(12000);
    options.files_per_folder = 30;
    const dsb::HugeSummary built = dsb::build_huge(dir.path().string(), options);
    std::vector<std::string> images;
    for (const std::string& image : built.images) images.push_back(image + "@2048");

    RunResult r = run_cli(with_disks(images, {"timeline", "/"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> tree = run_cli(with_disks(images, {"tree", "/"})).out_lines();
    const std::vector<std::string> lines = r.out_lines();
    ASSERT_GE(tree.size(), 12000u);
    ASSERT_EQ(lines.size(), tree.size());
    std::map<std::string, std::string> id_of;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields(lines[i]);
        ASSERT_EQ(f.size(), 11u) << lines[i];
        const bool dir = tree[i].back() == '/';
        if (dir) tree[i].pop_back();
        ASSERT_EQ(f[1], tree[i]) << "line " << i;
        EXPECT_EQ(f[3], dir ? "d/drwxrwxrwx" : "r/rrwxrwxrwx") << tree[i];
        id_of[f[1]] = f[2];
    }
    for (const dsb::ObjectExpect& o : built.spread) EXPECT_EQ(id_of[o.path], std::to_string(o.id)) << o.path;

    std::string ds = std::string("timeout 60 '") + DATUMSIFT_BIN + "'";
    for (const std::string& image : images) ds += " -d '" + image + "'";
    const std::string status = dir.file("status");
    std::string first;
    ASSERT_EQ(dstest::shell("(" + ds + " timeline / 2>/dev/null; echo $? > '" + status + "') | head -n 2", &first), 0);
    EXPECT_EQ(first, lines[0] + "\n" + lines[1] + "\n");
    std::ifstream in(status);
    int code = -1;
    in >> code;
    EXPECT_EQ(code, 1) << "124 is a walk that waited for a reader gone";
}

TEST(CliTimeline, DeletedFilesAndFoundDirectoriesOnRequest) {
    if (!have_scans()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    RunResult r = run_cli(with_disks(d.images, {"timeline", "--deleted"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const dsb::ObjectExpect& gone = d.deleted_file;
    const std::string name = "$deleted/" + std::to_string(gone.id) + " (deleted)";
    bool found = false;
    for (const std::string& line : r.out_lines()) {
        std::vector<std::string> f = fields(line);
        if (f[1] != name) continue;
        found = true;
        EXPECT_EQ(f[2], std::to_string(gone.id));
        EXPECT_EQ(f[6], std::to_string(gone.size));
        EXPECT_EQ(f[8], std::to_string(gone.update_time));
    }
    EXPECT_TRUE(found) << r.out;
    // The file of the deleted directory by the name the directory gives it.
    const std::string in_dir = "|$deleted/" + std::to_string(d.deleted_dir.id) + "/readme.txt (deleted)|";
    EXPECT_NE(r.out.find(in_dir), std::string::npos) << r.out;

    const dsb::FormattedSummary& fm = formatted();
    RunResult t = run_cli(with_disks(fm.images, {"timeline", "--formatted"}));
    ASSERT_EQ(t.exit_code, 0) << t.err;
    std::vector<std::string> names;
    for (const std::string& line : t.out_lines()) names.push_back(fields(line)[1]);
    for (const dsb::FoundDir& fd : fm.found)
        EXPECT_NE(std::find(names.begin(), names.end(), "DIR" + std::to_string(fd.number)), names.end());
    const std::string in_reused = fm.file_in_reused.path.substr(fm.file_in_reused.path.rfind('/') + 1);
    bool below = false;
    for (const std::string& n : names) below |= n.size() > in_reused.size() && n.substr(0, 3) == "DIR" &&
                                                n.compare(n.size() - in_reused.size(), in_reused.size(), in_reused) == 0;
    EXPECT_TRUE(below) << t.out;
}

std::string utc(uint32_t t, const char* format) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

// Every object of this demo was created, modified and accessed at three
// different times: a place that swaps two of them shows it. stat, ls -l,
// the body file, the JSON documents, the deleted rows and the manifest.
TEST(CliTimes, CreatedModifiedAndAccessedKeepTheirOwnColumns) {
    dstest::TempDir dir;
    const dsb::DemoSummary d = dsb::build_demo(dir.path().string(), dsb::layout::kMiB, true);
    const dsb::ObjectExpect& log = object(d, "/vm1/vm1.log");
    const dsb::ObjectExpect& vm1 = object(d, "/vm1");
    ASSERT_EQ(log.update_time, log.create_time + dsb::kModifiedLater);
    ASSERT_EQ(log.atime, log.create_time + dsb::kAccessedLater);
    const char* kText = "%Y-%m-%d %H:%M:%S";
    const char* kIso = "%Y-%m-%dT%H:%M:%SZ";

    RunResult st = run_cli(with_disks(d.images, {"stat", "/vm1/vm1.log"}));
    ASSERT_EQ(st.exit_code, 0) << st.err;
    for (const std::string& want : {"created: " + utc(log.create_time, kText), "modified: " + utc(log.update_time, kText),
                                    "accessed: " + utc(log.atime, kText)})
        EXPECT_NE(st.out.find("\n" + want + "\n"), std::string::npos) << want << "\n" << st.out;
    nlohmann::json sj = nlohmann::json::parse(run_cli(with_disks(d.images, {"--json", "stat", "/vm1/vm1.log"})).out);
    EXPECT_EQ(sj["created"], utc(log.create_time, kIso));
    EXPECT_EQ(sj["modified"], utc(log.update_time, kIso));
    EXPECT_EQ(sj["accessed"], utc(log.atime, kIso));

    // ls -l shows the modification time.
    RunResult ls = run_cli(with_disks(d.images, {"ls", "-l", "/vm1/vm1.log"}));
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    EXPECT_EQ(ls.out.substr(ls.out.rfind('\t') + 1), utc(log.update_time, kText) + "\n");
    nlohmann::json lj = nlohmann::json::parse(run_cli(with_disks(d.images, {"--json", "ls", "-l", "/vm1"})).out);
    bool listed = false;
    for (const nlohmann::json& e : lj["entries"]) {
        if (e["name"] != "vm1.log") continue;
        listed = true;
        EXPECT_EQ(e["update_at"], utc(log.update_time, kText));
        EXPECT_EQ(e["created"], utc(log.create_time, kIso));
        EXPECT_EQ(e["modified"], utc(log.update_time, kIso));
        EXPECT_EQ(e["accessed"], utc(log.atime, kIso));
    }
    EXPECT_TRUE(listed) << lj.dump();

    // The body file: atime, mtime, ctime (none kept: 0), crtime.
    RunResult tl = run_cli(with_disks(d.images, {"timeline", "/vm1"}));
    ASSERT_EQ(tl.exit_code, 0) << tl.err;
    int bodies = 0;
    for (const std::string& line : tl.out_lines()) {
        std::vector<std::string> f = fields(line);
        ASSERT_EQ(f.size(), 11u) << line;
        if (f[1] != "/vm1/vm1.log") continue;
        ++bodies;
        EXPECT_EQ(f[7] + "|" + f[8] + "|" + f[9] + "|" + f[10],
                  std::to_string(log.atime) + "|" + std::to_string(log.update_time) + "|0|" + std::to_string(log.create_time));
    }
    EXPECT_EQ(bodies, 1) << tl.out;

    // The manifest, for the directory and its files.
    RunResult exp = run_cli(with_disks(d.images, {"-q", "export", "-r", "/vm1", dir.file("vm1")}));
    ASSERT_EQ(exp.exit_code, 0) << exp.err;
    std::ifstream in(dir.file("vm1.manifest.json"));
    nlohmann::json m = nlohmann::json::parse(in);
    int items = 0;
    for (const nlohmann::json& it : m["items"]) {
        const dsb::ObjectExpect& o = it["path"] == "." ? vm1 : object(d, "/vm1/" + it["path"].get<std::string>());
        SCOPED_TRACE(it.dump());
        EXPECT_EQ(it["created"], utc(o.create_time, kIso));
        EXPECT_EQ(it["modified"], utc(o.update_time, kIso));
        EXPECT_EQ(it["accessed"], utc(o.atime, kIso));
        ++items;
    }
    EXPECT_GE(items, 3);

    // A deleted file's row and its JSON.
    if (!have_scans()) return;
    const dsb::ObjectExpect& gone = d.deleted_file;
    ASSERT_NE(gone.create_time, gone.atime);
    RunResult del = run_cli(with_disks(d.images, {"deleted"}));
    ASSERT_EQ(del.exit_code, 0) << del.err;
    const std::string row_end =
        "\t" + utc(gone.create_time, kText) + "\t" + utc(gone.update_time, kText) + "\t" + utc(gone.atime, kText) + "\n";
    EXPECT_NE(del.out.find(row_end), std::string::npos) << del.out;
    nlohmann::json dj = nlohmann::json::parse(run_cli(with_disks(d.images, {"--json", "deleted"})).out);
    bool row = false;
    for (const nlohmann::json& r : dj["rows"]) {
        if (r["id"] != gone.id) continue;
        row = true;
        EXPECT_EQ(r["create_at"], utc(gone.create_time, kText));
        EXPECT_EQ(r["last_update_at"], utc(gone.update_time, kText));
        EXPECT_EQ(r["atime"], utc(gone.atime, kText));
        EXPECT_EQ(r["created"], utc(gone.create_time, kIso));
        EXPECT_EQ(r["modified"], utc(gone.update_time, kIso));
        EXPECT_EQ(r["accessed"], utc(gone.atime, kIso));
    }
    EXPECT_TRUE(row) << dj.dump();
}

TEST(CliTimeline, MactimeReadsOurPathsAndTimes) {
    if (!dstest::have_program("mactime"))
        GTEST_SKIP() << "mactime not found: install the Debian package sleuthkit (scripts/setup-deps.sh does)";
    if (!have_scans()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    dstest::TempDir dir;
    RunResult r = run_cli(with_disks(d.images, {"timeline", "--deleted"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    { std::ofstream(dir.file("body")) << r.out; }

    std::string csv;
    ASSERT_EQ(dstest::shell("{ mactime -b '" + dir.file("body") + "' -d -z UTC 2>/dev/null; }", &csv), 0) << csv;

    // A line "date,size,flags,mode,uid,gid,inode,"name"" with the modification
    // flag at the object's modification time.
    auto has_line = [&](const std::string& name, uint32_t id, uint64_t size, uint32_t t) {
        const std::string head = mactime_date(t) + "," + std::to_string(size) + ",m";
        const std::string tail = "," + std::to_string(id) + ",\"" + name + "\"\n";
        for (size_t pos = csv.find(head); pos != std::string::npos; pos = csv.find(head, pos + 1)) {
            size_t eol = csv.find('\n', pos);
            if (csv.compare(eol + 1 - tail.size(), tail.size(), tail) == 0) return true;
        }
        return false;
    };
    for (const char* path : {"/vm1/vm1.log", "/vm2/vm2-flat.vmdk", "/vm1/snapshots", "/vm2/résumé-日本.txt"}) {
        const dsb::ObjectExpect& o = object(d, path);
        EXPECT_TRUE(has_line(path, o.id, o.size, o.update_time)) << path << "\n" << csv;
    }
    const dsb::ObjectExpect& gone = d.deleted_file;
    EXPECT_TRUE(has_line("$deleted/" + std::to_string(gone.id) + " (deleted)", gone.id, gone.size, gone.update_time))
        << csv;
}

} // namespace
} // namespace clitest
