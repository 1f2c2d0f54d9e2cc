// export SRC -: the file's bytes and nothing else on stdout, whatever
// stdout is; the messages on stderr.

#include "cli_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string bytes_of(const dsb::ObjectExpect& o) {
    std::vector<uint8_t> b = dsb::materialize(o.content, 0, o.size);
    return std::string(b.begin(), b.end());
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs a shell line with $DS standing for the program and its disks.
int shell(const dsb::ImageSummary& s, std::string line) {
    std::string ds = std::string("'") + DATUMSIFT_BIN + "'";
    for (const std::string& img : s.images) ds += " -d '" + img + "'";
    for (size_t at; (at = line.find("$DS")) != std::string::npos;) line.replace(at, 3, ds);
    return std::system(line.c_str());
}

TEST(CliExportStdout, TheBytesAloneOnStdoutInEveryAddressingMode) {
    const dsb::DemoSummary& d = demo();
    for (const char* path : {"/vm1/vm1.vmx", "/vm1/vm1.nvram", "/vm1/vm1.log", "/vm1"}) {
        SCOPED_TRACE(path);
        const dsb::ObjectExpect& o = object(d, path);
        RunResult r = run_cli(with_disks(d.images, {"export", path, "-"}));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(r.out == bytes_of(o)) << "stdout differs from the file";
        EXPECT_EQ(r.err, "success\n");
    }
    // The digest line names stdout as digest tools do, and matches a copy to a file.
    dstest::TempDir dir;
    RunResult piped = run_cli(with_disks(d.images, {"export", "--hash", "/vm1/vm1.log", "-"}));
    RunResult filed = run_cli(with_disks(d.images, {"export", "--hash", "/vm1/vm1.log", dir.file("log")}));
    ASSERT_EQ(piped.exit_code, 0) << piped.err;
    const std::string digest = filed.out_lines().at(1).substr(0, 64);
    EXPECT_EQ(piped.err, "success\n" + digest + "  -\n");

    RunResult js = run_cli(with_disks(d.images, {"--json", "export", "/vm1/vm1.vmx", "-"}));
    ASSERT_EQ(js.exit_code, 0) << js.err;
    EXPECT_TRUE(js.out == bytes_of(object(d, "/vm1/vm1.vmx")));
    EXPECT_EQ(nlohmann::json::parse(js.err)["result"], "success");
}

TEST(CliExportStdout, HolesArriveAsZerosThroughAPipe) {
    dstest::TempDir dir;
    const std::string img = dir.file("thin.img");
    const uint64_t size = 4 * dsb::layout::kMiB + 7;
    dsb::ContentFn content = dsb::overlay_content(
        dsb::zero_content(), {{0, text_bytes("first block")}, {3 * dsb::layout::kMiB, text_bytes("fourth")}});
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        dsb::FileSpec thin = dsb::generated_file(size, content, dsb::Storage::PointerBlocks);
        thin.thin = true;
        ds.add_file("/thin.vmdk", thin);
    });
    RunResult r = run_cli({"-d", img, "export", "/thin.vmdk", "-"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<uint8_t> want = dsb::materialize(content, 0, size);
    EXPECT_TRUE(r.out == std::string(want.begin(), want.end()));
}

// A reader that stops early (head) ends the copy as it ends cat: quietly,
// without the lines a failed copy to a file leaves.
TEST(CliExportStdout, AReaderThatClosesThePipeEndsItQuietly) {
    const dsb::DemoSummary& d = demo();
    dstest::TempDir dir;
    const std::string err = dir.file("err");
    for (const char* json : {"", "--json"}) {
        SCOPED_TRACE(json);
        ASSERT_EQ(shell(d, std::string("$DS ") + json + " export /vm2/vm2-flat.vmdk - 2>'" + err + "' | head -c 100 > /dev/null"), 0);
        EXPECT_EQ(read_text(err), "");
    }
}

TEST(CliExportStdout, AFileAsStdoutFromItsStartAndNeverAppendedTo) {
    const dsb::DemoSummary& d = demo();
    const dsb::ObjectExpect& log = object(d, "/vm1/vm1.log");
    dstest::TempDir dir;
    const std::string f = dir.file("out");
    ASSERT_EQ(shell(d, "$DS export /vm1/vm1.log - > '" + f + "' 2>/dev/null"), 0);
    EXPECT_EQ(compare_file(f, log.content, log.size), "");

    // What the shell writes next to the same descriptor follows the bytes.
    ASSERT_EQ(shell(d, "{ $DS export /vm1/vm1.log - && echo after; } > '" + f + "' 2>/dev/null"), 0);
    EXPECT_EQ(read_text(f), bytes_of(log) + "after\n");

    // Appending, or after other output, the copy would not start at the
    // file's beginning: refused, and the file keeps what it held.
    EXPECT_NE(shell(d, "$DS export /vm1/vm1.log - >> '" + f + "' 2>/dev/null"), 0);
    EXPECT_NE(shell(d, "{ echo first; $DS export /vm1/vm1.log -; } > '" + f + "' 2>/dev/null"), 0);
    EXPECT_EQ(read_text(f), "first\n");
    ASSERT_EQ(shell(d, "$DS export /vm1/vm1.log - 2>'" + dir.file("err") + "' >> '" + f + "'; test $? = 1"), 0);
    EXPECT_NE(read_text(dir.file("err")).find("appending"), std::string::npos) << read_text(dir.file("err"));
}

} // namespace
} // namespace clitest
