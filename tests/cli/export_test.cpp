// export: byte-for-byte copies in every addressing mode and by every way of
// naming the source, and what becomes of the host file when it fails.

#include "cli_fixture.h"
#include "builder/le.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace clitest {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

RunResult export_to(const std::vector<std::string>& imgs, const std::string& src, const std::string& dest,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> rest = {"export", src, dest};
    rest.insert(rest.end(), extra.begin(), extra.end());
    return run_cli(with_disks(imgs, rest));
}

TEST(CliExport, CopiesEveryAddressingModeByteForByte) {
    const dsb::DemoSummary& d = demo();
    dstest::TempDir out;
    for (std::string path : {"/vm1/vm1.vmx", "/vm1/vm1.nvram", "/vm1/vm1.log", "/vm2/vm2-flat.vmdk",
                             "/vm2/vm2-thin.vmdk", "/vm2/résumé-日本.txt", "/vm1"}) {
        SCOPED_TRACE(path);
        const dsb::ObjectExpect& o = object(d, path);
        std::string dest = out.file("copy");
        RunResult r = export_to(d.images, path, dest);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "success\n");
        EXPECT_EQ(compare_file(dest, o.content, o.size), "");
    }
}

TEST(CliExport, NamesTheSourceByDecimalOrHexIdAndReachesDeletedFiles) {
    const dsb::DemoSummary& d = demo();
    dstest::TempDir out;
    const dsb::ObjectExpect& log = object(d, "/vm1/vm1.log");
    char hex[16];
    std::snprintf(hex, sizeof hex, "#0x%x", log.id);
    for (std::string src : {"#" + std::to_string(log.id), std::string(hex)}) {
        RunResult r = export_to(d.images, src, out.file("log"));
        ASSERT_EQ(r.exit_code, 0) << src << r.err;
        EXPECT_EQ(compare_file(out.file("log"), log.content, log.size), "");
    }
    const dsb::ObjectExpect& gone = d.deleted_file;
    RunResult r = export_to(d.images, "#" + std::to_string(gone.id), out.file("gone"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(compare_file(out.file("gone"), gone.content, gone.size), "");
}

TEST(CliExport, SmallFilesAtTheInlineLimitAndEmptyFiles) {
    dstest::TempDir dir;
    std::string img = dir.file("small.img");
    std::vector<std::pair<std::string, uint64_t>> files = {{"/empty", 0}, {"/k1024", 1024}, {"/k1025", 1025}};
    make_datastore(img, [&](dsb::ImageBuilder& ds) {
        for (auto& [path, size] : files) ds.add_file(path, dsb::generated_file(size, dsb::pattern_content(size)));
    });
    for (auto& [path, size] : files) {
        SCOPED_TRACE(path);
        std::string dest = dir.file("out" + std::to_string(size));
        dstest::write_file(dest, std::vector<uint8_t>(5000, 0xEE));   // replaced, not appended to
        RunResult r = export_to({img}, path, dest);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(compare_file(dest, dsb::pattern_content(size), size), "");
    }
}

TEST(CliExport, AnUnreadableBlockKeepsTheChunksBeforeItAndFails) {
    dstest::TempDir dir;
    std::string img = dir.file("hole.img");
    uint32_t id = 0;
    auto build = [&](dsb::ImageBuilder& ds) {
        id = ds.add_file("/big", dsb::generated_file(3 * dsb::layout::kMiB + 5, dsb::pattern_content(7),
                                                     dsb::Storage::FileBlocks));
    };
    make_datastore(img, build, [&](dsb::ImageBuilder& ds) { point_block_past_the_volume(ds, id, 2, 4); });
    RunResult r = export_to({img}, "/big", dir.file("big"));
    EXPECT_EQ(r.exit_code, 1);
    // The file keeps its name and the chunks before the damage, and the line
    // after the failure says how many bytes it holds.
    const std::string written = std::to_string(2 * dsb::layout::kMiB);
    EXPECT_EQ(r.err_lines().at(0), "file save error|result:-1");
    EXPECT_EQ(r.err_lines().at(1), "partial file: " + dir.file("big") + "|written:" + written);
    EXPECT_EQ(fs::file_size(dir.file("big")), 2 * dsb::layout::kMiB);
    EXPECT_EQ(compare_file(dir.file("big"), dsb::pattern_content(7), 2 * dsb::layout::kMiB), "");
}

// A descriptor claiming a size of 2^62 over a block size of 2^40, its slots
// all holes: the copy ends at what 256 slots of the volume's real block size
// address, and the run says so after the partial-file line.
TEST(CliExport, ASizePastWhatTheBlockListAddressesStopsThereAndSaysSo) {
    dstest::TempDir dir;
    std::string img = dir.file("absurd.img");
    uint32_t id = 0;
    uint64_t block = 0;
    auto build = [&](dsb::ImageBuilder& ds) {
        id = ds.add_file("/f.bin", dsb::generated_file(3 * dsb::layout::kMiB, dsb::pattern_content(4),
                                                       dsb::Storage::FileBlocks));
        block = ds.block_size();
    };
    make_datastore(img, build, [&](dsb::ImageBuilder& ds) {
        const uint64_t d = ds.item_lv_offset(id);
        std::vector<uint8_t> field(8);
        dsb::put_le<int64_t>(field, 0, int64_t{1} << 62);
        ds.write_lv(d + dsb::layout::fd::kSize, field);
        dsb::put_le<int64_t>(field, 0, int64_t{1} << 40);
        ds.write_lv(d + dsb::layout::fd::kBlockSize, field);
        ds.write_lv(d + dsb::layout::fd::kBlocks, std::vector<uint8_t>(4 * 256, 0));
    });
    const std::string dest = dir.file("f.bin");
    RunResult r = export_to({img}, "/f.bin", dest);
    EXPECT_EQ(r.exit_code, 1);
    const std::string end = std::to_string(256 * block);
    EXPECT_EQ(r.err_lines(), (Lines{"file save error|result:-1", "partial file: " + dest + "|written:" + end,
                                    "the file's size reaches past what its block list can address; stopped at byte " + end}));
    EXPECT_EQ(fs::file_size(dest), 256 * block);
}

TEST(CliExport, RefusesToCreateOverAnInputOrInAMissingDirectory) {
    dstest::TempDir dir;
    std::string img = dir.file("in.img");
    make_datastore(img, [](dsb::ImageBuilder& ds) { ds.add_file("/a", dsb::text_file("abc")); });
    auto before = fs::file_size(img);
    RunResult onto = export_to({img}, "/a", img);
    EXPECT_EQ(onto.exit_code, 1);
    EXPECT_EQ(onto.err.substr(0, 26), "file save error|result:-1\n");
    EXPECT_EQ(fs::file_size(img), before);
    EXPECT_EQ(run_cli({"-d", img, "ls"}).exit_code, 0);   // still a datastore

    RunResult nowhere = export_to({img}, "/a", dir.file("no/such/dir/a"));
    EXPECT_EQ(nowhere.exit_code, 1);
    EXPECT_EQ(nowhere.err.substr(0, 26), "file save error|result:-1\n");

    RunResult missing = export_to({img}, "/b", dir.file("b"));
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err.substr(0, 16), "file open error\n");
    EXPECT_FALSE(fs::exists(dir.file("b")));
}

TEST(CliExport, FromADirectoryFoundAfterAReformat) {
    const dsb::FormattedSummary& f = formatted();
    dstest::TempDir out;
    std::string dir_name;
    for (const dsb::FoundDir& fd : f.found)
        if (fd.dir_id == f.reused_dir) dir_name = "DIR" + std::to_string(fd.number);
    ASSERT_FALSE(dir_name.empty());
    const dsb::ObjectExpect& file = f.file_in_reused;
    std::string name = file.path.substr(file.path.rfind('/') + 1);
    RunResult r = export_to(f.images, dir_name + "/" + name, out.file("x"), {"--formatted"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(compare_file(out.file("x"), file.content, file.size), "");
}

// What an export writes into a pipe, read slowly: Ctrl-C is sent once the
// first bytes arrive, so the program is in the middle of the copy. Every wait
// is bounded: an export that never starts fails the test instead of holding
// it on the pipe.
struct PipedExport {
    RunResult run;
    std::vector<uint8_t> got;
    bool interrupted = false;   // the first bytes came and Ctrl-C was sent
    bool timed_out = false;
};

// With stderr on a pseudo-terminal, as an operator at a terminal sees it.
PipedExport export_into_pipe_and_interrupt(const std::vector<std::string>& args, const std::string& fifo) {
    PipedExport e;
    // Opened without waiting for a writer, which may never come.
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return e;
    std::atomic<pid_t> child{0};
    std::atomic<bool> ended{false};
    RunOptions ro;
    ro.timeout_seconds = 60;
    ro.stderr_on_terminal = true;
    ro.on_start = [&](pid_t pid) { child = pid; };
    std::thread runner([&] {
        e.run = run_cli(args, ro);
        ended = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    uint8_t buf[65536];
    auto drain = [&] {
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) e.got.insert(e.got.end(), buf, buf + n);
        return n;
    };
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            e.timed_out = true;
            if (child.load() > 0) ::kill(child.load(), SIGKILL);
            break;
        }
        const bool was_over = ended.load();   // after it ended, one more drain sees all it wrote
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        if (!e.interrupted) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                e.got.insert(e.got.end(), buf, buf + n);
                e.interrupted = child.load() > 0 && ::kill(child.load(), SIGINT) == 0;
            }
        } else {
            drain();
        }
        if (was_over) break;
    }
    runner.join();
    drain();
    ::close(fd);
    return e;
}

TEST(CliExport, CtrlCStopsBetweenChunksAndKeepsWhatWasWritten) {
    const dsb::DemoSummary& d = demo();
    const dsb::ObjectExpect& flat = object(d, "/vm2/vm2-flat.vmdk");
    dstest::TempDir dir;
    std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    PipedExport e = export_into_pipe_and_interrupt(with_disks(d.images, {"export", "/vm2/vm2-flat.vmdk", fifo}), fifo);
    ASSERT_FALSE(e.timed_out) << "the export neither wrote nor ended";
    ASSERT_TRUE(e.interrupted) << "the export ended before writing: " << e.run.err;
    EXPECT_EQ(e.run.signal, 0);
    EXPECT_EQ(e.run.exit_code, 130);
    EXPECT_NE(e.run.err.find("export cancelled|written:" + std::to_string(e.got.size()) + "\r\n"), std::string::npos)
        << e.run.err;
    // The progress bar gives way to a summary line that stays (a terminal
    // turns each newline into CR LF).
    EXPECT_NE(e.run.err.find("\r" + std::to_string(e.got.size()) + " bytes in "), std::string::npos) << e.run.err;
    EXPECT_NE(e.run.err.find("iB/s\x1b[K\r\n"), std::string::npos) << e.run.err;
    EXPECT_LT(e.got.size(), flat.size);
    EXPECT_EQ(e.got.size() % dsb::layout::kMiB, 0u);
    EXPECT_EQ(e.got, dsb::materialize(flat.content, 0, e.got.size()));
}

TEST(CliExport, NoClobberRefusesAnExistingDestinationBeforeReadingAnything) {
    const dsb::DemoSummary& d = demo();
    const dsb::ObjectExpect& vmx = object(d, "/vm1/vm1.vmx");
    dstest::TempDir dir;
    const std::string kept = dir.file("kept");
    dstest::write_file(kept, std::vector<uint8_t>(10, 0xEE));
    const std::string dangling = dir.file("dangling");
    fs::create_symlink(dir.file("nowhere"), dangling);
    fs::create_directory(dir.file("folder"));

    for (const std::string& dest : {kept, dangling, dir.file("folder")}) {
        SCOPED_TRACE(dest);
        // The disks are never opened: a missing one goes unnoticed.
        for (const char* flag : {"-n", "--no-clobber"}) {
            RunResult r = run_cli({"-d", dir.file("no-such.img"), "export", flag, "/vm1/vm1.vmx", dest});
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "file save error|result:-1\nnot replacing " + dest + ": it exists (--no-clobber)\n");
        }
        RunResult folder = run_cli(with_disks(d.images, {"export", "-n", "-r", "/vm1", dest}));
        EXPECT_EQ(folder.exit_code, 1);
        EXPECT_NE(folder.err.find("not replacing " + dest), std::string::npos);
    }
    EXPECT_EQ(dstest::read_file(kept), std::vector<uint8_t>(10, 0xEE));
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
    EXPECT_TRUE(fs::is_empty(dir.file("folder")));

    // A new name is written as usual; without -n an existing file is replaced.
    RunResult fresh = export_to(d.images, "/vm1/vm1.vmx", dir.file("fresh"), {"-n"});
    ASSERT_EQ(fresh.exit_code, 0) << fresh.err;
    EXPECT_EQ(compare_file(dir.file("fresh"), vmx.content, vmx.size), "");
    RunResult replaced = export_to(d.images, "/vm1/vm1.vmx", kept);
    ASSERT_EQ(replaced.exit_code, 0) << replaced.err;
    EXPECT_EQ(compare_file(kept, vmx.content, vmx.size), "");
}

} // namespace
} // namespace clitest
