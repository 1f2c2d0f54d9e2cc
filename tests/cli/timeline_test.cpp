// timeline: a body file that timeline tools read back with our paths and
// times; checked field by field and through mactime itself when installed.

#include "cli_fixture.h"
#include "support/test_support.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

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
