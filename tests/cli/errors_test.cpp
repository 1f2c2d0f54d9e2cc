// Exit statuses and the system's own texts for every refusal, usage errors,
// help, and damaged input that must never bring the program down.

#include "cli_fixture.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace clitest {
namespace {

TEST(CliErrors, EveryReadingCommandNeedsDisksFirst) {
    for (std::vector<std::string> cmd : std::vector<std::vector<std::string>>{
             {"info"}, {"ls"}, {"tree"}, {"export", "/a", "/tmp/never-written"}, {"deleted"}, {"formatted"}, {"vmdk"}}) {
        RunResult r = run_cli(cmd);
        EXPECT_EQ(r.exit_code, 1) << cmd[0];
        EXPECT_EQ(r.err, "please set disks first\n") << cmd[0];
        EXPECT_EQ(r.out, "") << cmd[0];
    }
}

TEST(CliErrors, AddDiskRefusalsUseTheDiskSettingsTexts) {
        const std::string& m0 = multi().images[0];
    const std::string& m1 = multi().images[1];
    struct Case {
        std::vector<std::string> disks;
        std::string message;
    };
    std::vector<Case> cases = {
        {{image_dir().file("no-such.img")}, "vlm not find\n" + image_dir().file("no-such.img") + ": No such file or directory\n"},
        {{image_dir().path().string()}, "vlm not find\n" + image_dir().path().string() + ": Is a directory\n"},
        {{m0 + "@2049"}, "vlm not find\n"},                          // wrong partition start
        {{m1}, "vlm is not first disk \n"},                          // segment 0 is on the other member
        {{m0, demo().images[0]}, "vlm  disk information mismatch \n"},
        {{m0, m0}, "vlm  disk not continue \n"},
    };
    for (const Case& c : cases) {
        RunResult r = run_cli(with_disks(c.disks, {"info"}));
        EXPECT_EQ(r.exit_code, 1) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(run_cli(with_disks({m0 + "@2048", m1}, {"info"})).exit_code, 0);
}

TEST(CliErrors, AFileSystemDescriptorWithAWrongMagic) {
    dstest::TempDir dir;
    std::string img = dir.file("bad.img");
    make_datastore(img, [](dsb::ImageBuilder&) {}, {}, [](dsb::DatastoreOptions& o) { o.bad_fs_magic = true; });
    RunResult r = run_cli({"-d", img, "info"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "fs info read error\n");
}

TEST(CliErrors, UsageErrorsExitTwoAndHelpExitsZero) {
    EXPECT_EQ(run_cli({}).exit_code, 2);
    EXPECT_EQ(run_cli({"frobnicate"}).exit_code, 2);
    EXPECT_EQ(run_cli({"export", "/only-source"}).exit_code, 2);
    for (const char* spec : {"x.img@12x", "x.img@-1", "x.img@-0x10", "x.img@99999999999999999999", "x.img@36028797018963968"})
        EXPECT_EQ(run_cli({"-d", spec, "info"}).exit_code, 2) << spec;
    EXPECT_EQ(run_cli({"-d", "x.img@-1", "info"}).err, "start sector '-1' of 'x.img@-1' is negative\n");
    EXPECT_EQ(run_cli({"ls", "--bogus"}).exit_code, 2);

    // The version the build was given, as "datumsift X.Y.Z", whatever else is on the line.
    RunResult version = run_cli({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("datumsift ") + DATUMSIFT_VERSION + "\n");
    EXPECT_EQ(run_cli({"-d", "x.img", "--version", "info"}).out, version.out);
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '.'), 2);

    RunResult help = run_cli({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char* word : {"info", "ls", "tree", "export", "deleted", "formatted", "vmdk", "detect", "disks",
                             "--json", "PATH[@SECTOR]"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    for (const char* cmd : {"info", "ls", "tree", "stat", "timeline", "export", "deleted", "formatted", "vmdk", "detect", "disks"}) {
        RunResult r = run_cli({cmd, "--help"});
        EXPECT_EQ(r.exit_code, 0) << cmd;
        EXPECT_NE(r.out.find(std::string("datumsift ") + cmd), std::string::npos) << cmd;
        // The options that belong before the command are named on its own page.
        for (const char* global : {"-d,--disk PATH[@SECTOR]", "--json", "-q,--quiet"})
            EXPECT_NE(r.out.find(global), std::string::npos) << cmd << " " << global;
    }
}

TEST(CliErrors, AMistypedCommandGetsTheNearestOne) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    for (const Case& c : std::vector<Case>{
             {{"lss"}, "unknown command 'lss'; did you mean 'ls'?\n"},
             {{"-d", "x.img", "--json", "expotr", "/a", "b"}, "unknown command 'expotr'; did you mean 'export'?\n"},
             {{"-q", "--disk", "x.img", "delted"}, "unknown command 'delted'; did you mean 'deleted'?\n"},
             {{"form"}, "unknown command 'form'; did you mean 'formatted'?\n"},
             {{"Info"}, "unknown command 'Info'; did you mean 'info'?\n"},
             {{"frobnicate"}, "unknown command 'frobnicate'; see datumsift --help\n"},
         }) {
        RunResult r = run_cli(c.args);
        EXPECT_EQ(r.exit_code, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        // With --json the same message comes as a document on stdout.
        if (std::find(c.args.begin(), c.args.end(), "--json") == c.args.end())
            EXPECT_EQ(r.out, "");
        else
            EXPECT_EQ(nlohmann::json::parse(r.out)["error"], c.err.substr(0, c.err.size() - 1));
    }
    // A known command with a wrong argument keeps the parser's own message.
    EXPECT_EQ(run_cli({"export", "/only-source"}).err.find("unknown command"), std::string::npos);
}

TEST(CliErrors, APipeGivenAsADiskIsRefusedWithoutWaiting) {
    dstest::TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    RunOptions quick;
    quick.timeout_seconds = 20;
    RunResult r = run_cli({"-d", fifo, "info"}, quick);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "vlm not find\n" + fifo + ": a named pipe, not a disk or an image\n");

    // A file the system will not open for reading (root opens anything).
    if (::geteuid() != 0) {
        std::string locked = dir.file("locked.img");
        dstest::write_file(locked, std::vector<uint8_t>(4096));
        ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
        EXPECT_EQ(run_cli({"-d", locked, "info"}).err, "vlm not find\n" + locked + ": Permission denied\n");
    }
}

// With --json a failure still answers on stdout: one document with the
// message, the lines after it and the exit status.
TEST(CliErrors, WithJsonAFailureIsOneDocumentOnStdout) {
    const std::string missing = image_dir().file("no-such.img");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string error;
        std::vector<std::string> details;
    };
    const std::vector<Case> cases = {
        {{"--json", "-d", missing, "info"}, 1, "vlm not find", {missing + ": No such file or directory"}},
        {{"--json", "ls"}, 1, "please set disks first", {}},
        {{"-d", "x.img@-1", "--json", "info"}, 2, "start sector '-1' of 'x.img@-1' is negative", {}},
        {{"--json", "frobnicate"}, 2, "unknown command 'frobnicate'; see datumsift --help", {}},
        {with_disks(demo().images, {"--json", "ls", "/no/such"}), 1, "dir open error", {"no entry 'no' in /"}},
        {with_disks(demo().images, {"--json", "export", "/vm1/vm1.vmx", "/no-such-dir/x"}), 1,
         "file save error|result:-1", {"cannot create /no-such-dir/x (No such file or directory)"}},
    };
    for (const Case& c : cases) {
        RunResult r = run_cli(c.args);
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.exit_code, c.code);
        nlohmann::json j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["schema"], 1);
        EXPECT_EQ(j["exit_code"], c.code);
        EXPECT_EQ(j["error"], c.error);
        EXPECT_EQ(j["details"], nlohmann::json(c.details));
        EXPECT_EQ(r.err.substr(0, c.error.size()), c.error);   // stderr keeps the message
    }
    // Without --json stdout stays empty.
    EXPECT_EQ(run_cli({"-d", missing, "info"}).out, "");
}

// Random bytes over the descriptors, the directories and the bitmaps: every
// command ends with a status, never with a signal.
TEST(CliErrors, DamagedMetadataNeverBringsTheProgramDown) {
    dstest::TempDir dir;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        std::string img = dir.file("junk" + std::to_string(seed) + ".img");
        auto build = [&](dsb::ImageBuilder& ds) {
            ds.add_file("/d/f.bin", dsb::generated_file(3 * dsb::layout::kMiB, dsb::pattern_content(seed),
                                                        dsb::Storage::PointerBlocks));
            ds.add_file("/d/s.txt", dsb::text_file("small"));
        };
        make_datastore(img, build, [&](dsb::ImageBuilder& ds) {
            std::mt19937 rng(seed);
            for (dsb::SysFile f : {dsb::SysFile::Fdc, dsb::SysFile::Sbc, dsb::SysFile::Pbc}) {
                uint64_t base = ds.item_lv_offset(dsb::fb_build(ds.system_file_first_block(f)));
                std::vector<uint8_t> junk(4096 + rng() % 60000);
                for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
                ds.write_lv(base + rng() % 65536, junk);
            }
        });
        for (std::vector<std::string> cmd : std::vector<std::vector<std::string>>{
                 {"tree"}, {"ls", "-l", "/d"}, {"export", "/d/f.bin", dir.file("o")}, {"deleted"}, {"formatted", "--tree"}, {"vmdk"}}) {
            RunResult r = run_cli(with_disks({img}, cmd));
            EXPECT_EQ(r.signal, 0) << cmd[0];
            EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << cmd[0] << " " << r.exit_code;
        }
    }
}

} // namespace
} // namespace clitest
