// Progress is drawn on a terminal's stderr only: never on stdout, never into
// a pipe, never with -q.

#include "cli_fixture.h"

#include <gtest/gtest.h>

namespace clitest {
namespace {

TEST(CliProgress, DrawnOnATerminalAndNeverOnStdout) {
    const dsb::DemoSummary& d = demo();
    dstest::TempDir out;
    RunOptions tty;
    tty.stderr_on_terminal = true;

    RunResult shown = run_cli(with_disks(d.images, {"export", "/vm2/vm2-flat.vmdk", out.file("a")}), tty);
    ASSERT_EQ(shown.exit_code, 0) << shown.err;
    EXPECT_EQ(shown.out, "success\n");
    EXPECT_NE(shown.err.find("100%"), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("MiB"), std::string::npos);
    EXPECT_NE(shown.err.find("left"), std::string::npos);
    // The bar ends in a summary line that stays on the terminal.
    const std::string flat_size = std::to_string(object(d, "/vm2/vm2-flat.vmdk").size);
    const size_t summary = shown.err.rfind("\r" + flat_size + " bytes in ");
    ASSERT_NE(summary, std::string::npos) << shown.err;
    const std::string last = shown.err.substr(summary);
    EXPECT_NE(last.find(" s, "), std::string::npos) << last;
    // The rate in the binary units of the bar and every other size.
    const std::string tail = "iB/s\x1b[K\r\n";
    ASSERT_GE(last.size(), tail.size());
    EXPECT_EQ(last.substr(last.size() - tail.size()), tail) << last;

    EXPECT_EQ(last.find("holes"), std::string::npos) << last;

    // A thin file's holes are written but never read: the rate counts only
    // what was read, and the summary says how much that was.
    const dsb::ObjectExpect& thin = object(d, "/vm2/vm2-thin.vmdk");
    RunResult sparse = run_cli(with_disks(d.images, {"export", "/vm2/vm2-thin.vmdk", out.file("t")}), tty);
    ASSERT_EQ(sparse.exit_code, 0) << sparse.err;
    const size_t at = sparse.err.rfind("\r" + std::to_string(thin.size) + " bytes in ");
    ASSERT_NE(at, std::string::npos) << sparse.err;
    const std::string line = sparse.err.substr(at);
    const size_t read_at = line.find(" (");
    ASSERT_NE(read_at, std::string::npos) << line;
    const long long read = std::stoll(line.substr(read_at + 2));
    EXPECT_LT(read, static_cast<long long>(thin.size)) << line;
    EXPECT_NE(line.find(" bytes read, the rest holes)\x1b[K\r\n"), std::string::npos) << line;

    RunResult quiet = run_cli(with_disks(d.images, {"-q", "export", "/vm2/vm2-flat.vmdk", out.file("b")}), tty);
    ASSERT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.err, "");

    RunResult piped = run_cli(with_disks(d.images, {"export", "/vm2/vm2-flat.vmdk", out.file("c")}));
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out, "success\n");
}

TEST(CliProgress, ScansShowTheirGaugeOnTheTerminalOnly) {
    const dsb::DemoSummary& d = demo();
    RunOptions tty;
    tty.stderr_on_terminal = true;
    RunResult shown = run_cli(with_disks(d.images, {"deleted"}), tty);
    RunResult piped = run_cli(with_disks(d.images, {"deleted"}));
    if (piped.err.find("not available") != std::string::npos) GTEST_SKIP() << "built without the recovery scans";
    ASSERT_EQ(shown.exit_code, 0) << shown.err;
    EXPECT_NE(shown.err.find("%"), std::string::npos);
    EXPECT_EQ(shown.out, piped.out);
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out_lines().back(), "finish");
}

} // namespace
} // namespace clitest
