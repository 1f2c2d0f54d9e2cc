// The three recovery commands as the shell sees them: rows, "finish", the
// descriptor ids that let a deleted file be exported, and the DIR listing.

#include "cli_fixture.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

std::vector<std::string> tabs(const std::string& line) {
    std::vector<std::string> cols;
    size_t pos = 0;
    for (size_t tab; (tab = line.find('\t', pos)) != std::string::npos; pos = tab + 1)
        cols.push_back(line.substr(pos, tab - pos));
    cols.push_back(line.substr(pos));
    return cols;
}

bool scans_built() { return run_cli({"deleted"}).err.find("not available") == std::string::npos; }

TEST(CliScans, DeletedRowsCarryTheDescriptorToExportFrom) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    RunResult text = run_cli(with_disks(d.images, {"deleted"}));
    ASSERT_EQ(text.exit_code, 0) << text.err;
    std::vector<std::string> lines = text.out_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "finish");
    EXPECT_EQ(lines[0].substr(0, 9), "1\t \tFILE\t");   // sn, the blank ID column, type

    RunResult js = run_cli(with_disks(d.images, {"--json", "deleted"}));
    ASSERT_EQ(js.exit_code, 0) << js.err;
    nlohmann::json j = nlohmann::json::parse(js.out);
    EXPECT_TRUE(j["finished"].get<bool>());
    ASSERT_EQ(j["rows"].size(), lines.size() - 1);
    // A file whose entry left its live directory has no name; the one in the
    // deleted directory keeps the name that directory gives it.
    const std::string in_dir = "$deleted/" + std::to_string(d.deleted_dir.id) + "/readme.txt";
    bool found = false, named = false;
    for (const auto& row : j["rows"]) {
        if (row["id"] == d.deleted_file.id) {
            found = true;
            EXPECT_TRUE(row["name"].is_null() && row["path"].is_null()) << row.dump();
        } else if (row["path"] == in_dir) {
            named = true;
            EXPECT_EQ(row["name"], "readme.txt");
            EXPECT_EQ(row["named_in"], "deleted");
        }
    }
    EXPECT_TRUE(found && named) << js.out;
}

TEST(CliScans, DeletedDirsListsTheDeletedDirectoriesAmongTheFiles) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    RunResult plain = run_cli(with_disks(d.images, {"deleted"}));
    RunResult dirs = run_cli(with_disks(d.images, {"deleted", "--dirs", "-l"}));
    ASSERT_EQ(dirs.exit_code, 0) << dirs.err;
    std::vector<std::string> p = plain.out_lines(), l = dirs.out_lines();
    ASSERT_EQ(l.size(), p.size() + 1) << dirs.out;   // the demo deleted one directory
    int n = 0, dir_rows = 0;
    for (size_t i = 0; i + 1 < l.size(); ++i) {
        SCOPED_TRACE(l[i]);
        const std::vector<std::string> c = tabs(l[i]);
        ASSERT_EQ(c.size(), 9u);
        EXPECT_EQ(c[0], std::to_string(++n));
        if (c[2] != "DIR") continue;
        ++dir_rows;
        EXPECT_EQ(c[1], std::to_string(d.deleted_dir.id));
    }
    EXPECT_EQ(dir_rows, 1);
}

TEST(CliScans, DeletedFormattedNamesFilesByTheFoundDirectories) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::FormattedSummary& f = formatted();
    const std::string id = std::to_string(f.file_in_reused.id);
    // The directory's own first block now holds another file: only through
    // the sub-block the format recovery finds does it name its files.
    for (bool found : {false, true}) {
        std::vector<std::string> args = {"deleted", "-l"};
        if (found) args.push_back("--formatted");
        RunResult r = run_cli(with_disks(f.images, args));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        bool row = false;
        for (const std::string& line : r.out_lines()) {
            std::vector<std::string> c = tabs(line);
            if (c.size() < 9 || c[1] != id) continue;
            row = true;
            EXPECT_EQ(c[8], found ? "DIR2/vm-old-flat.vmdk" : "");
        }
        EXPECT_TRUE(row) << r.out;
    }
}


TEST(CliScans, DeletedLongRowsLeadToTheExportOfEachFile) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    RunResult plain = run_cli(with_disks(d.images, {"deleted"}));
    RunResult longer = run_cli(with_disks(d.images, {"deleted", "-l"}));
    ASSERT_EQ(longer.exit_code, 0) << longer.err;
    std::vector<std::string> p = plain.out_lines(), l = longer.out_lines();
    ASSERT_EQ(p.size(), l.size());
    EXPECT_EQ(l.back(), "finish");
    bool found = false;
    dstest::TempDir out;
    for (size_t i = 0; i + 1 < l.size(); ++i) {
        SCOPED_TRACE(l[i]);
        std::vector<std::string> pc = tabs(p[i]), lc = tabs(l[i]);
        ASSERT_EQ(pc.size(), 7u);
        ASSERT_EQ(lc.size(), 9u);
        EXPECT_EQ(pc[1], " ");
        // Only the ID column differs; the eighth is the exact size, the ninth
        // the path an entry still gives the file.
        EXPECT_EQ(lc[8], lc[1] == std::to_string(d.deleted_file.id)
                             ? ""
                             : "$deleted/" + std::to_string(d.deleted_dir.id) + "/readme.txt");
        for (size_t c : {0, 2, 3, 4, 5, 6}) EXPECT_EQ(pc[c], lc[c]);
        RunResult r = run_cli(with_disks(d.images, {"export", "#" + lc[1], out.file("f")}));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(std::to_string(std::filesystem::file_size(out.file("f"))), lc[7]);
        if (lc[1] == std::to_string(d.deleted_file.id)) {
            found = true;
            EXPECT_EQ(lc[7], std::to_string(d.deleted_file.size));
            EXPECT_EQ(compare_file(out.file("f"), d.deleted_file.content, d.deleted_file.size), "");
        }
    }
    EXPECT_TRUE(found) << longer.out;
}

TEST(CliScans, FormattedListsTheFoundDirectoriesAndTheirContents) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::FormattedSummary& f = formatted();
    RunResult r = run_cli(with_disks(f.images, {"formatted"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> want;
    for (const dsb::FoundDir& fd : f.found)
        want.push_back("DIR" + std::to_string(fd.number) + "\t" + std::to_string(fd.dir_id) + "\t" +
                       (fd.first_block == -1 ? "-1" : std::to_string(static_cast<uint32_t>(fd.first_block))));
    want.push_back("finish");
    EXPECT_EQ(r.out_lines(), want);

    // With --tree each DIR line is followed by exactly what tree prints for it.
    RunResult t = run_cli(with_disks(f.images, {"formatted", "--tree"}));
    ASSERT_EQ(t.exit_code, 0) << t.err;
    std::vector<std::string> expected;
    for (size_t i = 0; i < f.found.size(); ++i) {
        expected.push_back(want[i]);
        std::string name = "DIR" + std::to_string(f.found[i].number);
        for (const std::string& line : run_cli(with_disks(f.images, {"tree", "--formatted", name})).out_lines())
            expected.push_back(line);
    }
    expected.push_back("finish");
    EXPECT_EQ(t.out_lines(), expected);
    EXPECT_GT(expected.size(), want.size());
}

TEST(CliScans, VmdkRowsEndWithFinish) {
    if (!scans_built()) GTEST_SKIP() << "built without the recovery scans";
    const dsb::DemoSummary& d = demo();
    RunResult r = run_cli(with_disks(d.images, {"vmdk"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = r.out_lines();
    ASSERT_EQ(lines.size(), d.lost_disks.size() + 1);
    EXPECT_EQ(lines.back(), "finish");
    nlohmann::json j = nlohmann::json::parse(run_cli(with_disks(d.images, {"--json", "vmdk"})).out);
    ASSERT_EQ(j["rows"].size(), d.lost_disks.size());
    // The Chinese text as the list shows it, a code in no language beside it.
    EXPECT_EQ(j["rows"][0]["type"], "NTFS|LINUX交换");
    EXPECT_EQ(j["rows"][0]["type_code"], "ntfs|linux_swap");
}

} // namespace
} // namespace clitest
