// export --hash and export -r through the command.

#include "evidence_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;
using clitest::RunResult;
using clitest::run_cli;
using clitest::with_disks;

TEST(CliHash, PrintsTheDigestOfTheBytesWrittenAsTextAndJson) {
    const dsb::DemoSummary& d = clitest::demo();
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    dstest::TempDir out;
    const std::string dest = out.file("log");
    RunResult r = run_cli(with_disks(d.images, {"export", "--hash", "/vm1/vm1.log", dest}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string digest = sha256_of_content(log.content, log.size);
    EXPECT_EQ(r.out, "success\n" + digest + "  " + dest + "\n");
    // The line is the one sha256sum checks.
    std::ofstream(out.file("sums")) << r.out_lines().at(1) << "\n";
    EXPECT_EQ(shell("sha256sum -c --status '" + out.file("sums") + "'"), 0);

    RunResult j = run_cli(with_disks(d.images, {"--json", "export", "--hash", "/vm1/vm1.log", dest}));
    ASSERT_EQ(j.exit_code, 0) << j.err;
    nlohmann::json doc = nlohmann::json::parse(j.out);
    EXPECT_EQ(doc["sha256"], digest);
    EXPECT_EQ(doc["bytes"], log.size);
}

TEST(CliFolderExport, CopiesTheFolderPrintsCheckableDigestsAndASummary) {
    const dsb::DemoSummary& d = clitest::demo();
    dstest::TempDir out;
    const std::string dest = out.file("vm1");
    RunResult r = run_cli(with_disks(d.images, {"export", "-r", "/vm1", dest}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = r.out_lines();
    ASSERT_EQ(lines.size(), 7u) << r.out;
    int64_t bytes = 0;
    for (const char* f : {"vm1.vmx", "vm1.nvram", "vm1.log", "snapshots/vm1-Snapshot1.vmsn"}) {
        const dsb::ObjectExpect& o = clitest::object(d, std::string("/vm1/") + f);
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            sha256_of_content(o.content, o.size) + "  " + dest + "/" + f),
                  lines.end())
            << f;
        bytes += static_cast<int64_t>(o.size);
    }
    EXPECT_EQ(lines[4], "files:4 directories:2 bytes:" + std::to_string(bytes) + " failures:0 renamed:0");
    EXPECT_EQ(lines[5], "manifest: " + dest + ".manifest.json");
    EXPECT_EQ(lines[6], "success");
    std::ofstream sums(out.file("sums"));
    for (int i = 0; i < 4; ++i) sums << lines[i] << "\n";
    sums.close();
    EXPECT_EQ(shell("sha256sum -c --status '" + out.file("sums") + "'"), 0);

    // The destination now holds the copy: a second run replaces nothing.
    RunResult again = run_cli(with_disks(d.images, {"export", "-r", "/vm1", dest}));
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_EQ(again.err, "file save error|result:-1\n" + dest + " is not empty\n");

    // A deleted file's id: the file goes into the directory under that name.
    const std::string id = "#" + std::to_string(d.deleted_file.id);
    RunResult gone = run_cli(with_disks(d.images, {"--json", "export", "-r", id, out.file("gone")}));
    ASSERT_EQ(gone.exit_code, 0) << gone.err;
    nlohmann::json doc = nlohmann::json::parse(gone.out);
    EXPECT_EQ(doc["result"], "success");
    ASSERT_EQ(doc["items"].size(), 1u);
    EXPECT_EQ(doc["items"][0]["sha256"], sha256_of_content(d.deleted_file.content, d.deleted_file.size));
    EXPECT_EQ(clitest::compare_file(out.file("gone/" + id), d.deleted_file.content, d.deleted_file.size), "");
}

TEST(CliFolderExport, AFoundDirectoryWithItsFirstBlockSubstituted) {
    const dsb::FormattedSummary& f = clitest::formatted();
    dstest::TempDir out;
    std::string dir_name;
    for (const dsb::FoundDir& d : f.found)
        if (d.dir_id == f.reused_dir) dir_name = "DIR" + std::to_string(d.number);
    ASSERT_FALSE(dir_name.empty());
    RunResult r = run_cli(with_disks(f.images, {"export", "-r", "--formatted", dir_name, out.file("found")}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string name = f.file_in_reused.path.substr(f.file_in_reused.path.rfind('/') + 1);
    EXPECT_EQ(clitest::compare_file(out.file("found/" + name), f.file_in_reused.content, f.file_in_reused.size), "");
    // The "ALL DIR FOUND" top: every found directory under its DIR name.
    RunResult all = run_cli(with_disks(f.images, {"export", "-r", "--formatted", "", out.file("all")}));
    ASSERT_EQ(all.exit_code, 0) << all.err;
    EXPECT_EQ(clitest::compare_file(out.file("all/" + dir_name + "/" + name), f.file_in_reused.content,
                                    f.file_in_reused.size),
              "");
    for (const dsb::FoundDir& d : f.found)
        EXPECT_TRUE(fs::is_directory(out.file("all/DIR" + std::to_string(d.number)))) << d.number;
    EXPECT_EQ(read_json(out.file("all.manifest.json"))["source"], "ALL DIR FOUND");
}

TEST(CliFolderExport, AnUnreadableFileIsReportedAndTheRunEndsWithOneAfterTheRest) {
    dstest::TempDir dir;
    const std::string img = dir.file("bad.img");
    uint32_t bad = 0;
    clitest::make_datastore(
        img,
        [&](dsb::ImageBuilder& ds) {
            bad = ds.add_file("/vm/a-bad.vmdk", dsb::generated_file(3 * dsb::layout::kMiB, dsb::pattern_content(4),
                                                                   dsb::Storage::FileBlocks));
            ds.add_file("/vm/b-good.vmx", dsb::text_file("fine\n"));
        },
        [&](dsb::ImageBuilder& ds) { clitest::point_block_past_the_volume(ds, bad, 1, 3); });
    RunResult r = run_cli(with_disks({img}, {"export", "-r", "/vm", dir.file("vm")}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err,
              "partial: a-bad.vmdk: a read of the datastore failed after 1048576 bytes; kept as a-bad.vmdk.partial\n"
              "folder export incomplete|files:1 directories:1 bytes:1048581 failures:1 renamed:0\n");
    EXPECT_EQ(dstest::read_file(dir.file("vm/b-good.vmx")), std::vector<uint8_t>({'f', 'i', 'n', 'e', '\n'}));
    EXPECT_EQ(clitest::compare_file(dir.file("vm/a-bad.vmdk.partial"), dsb::pattern_content(4), dsb::layout::kMiB),
              "");
    const nlohmann::json m = read_json(dir.file("vm.manifest.json"));
    EXPECT_EQ(m["failures"], 1);
}

} // namespace
} // namespace evtest
