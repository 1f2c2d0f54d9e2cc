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
    const std::string tail = " MB/s\x1b[K\r\n";
    ASSERT_GE(last.size(), tail.size());
    EXPECT_EQ(last.substr(last.size() - tail.size()), tail) << last;

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
