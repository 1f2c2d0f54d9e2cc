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

// No -d is a mistake in the command line: a usage error, the window's text
// first and how to give the disks after it.
TEST(CliErrors, EveryReadingCommandNeedsDisksFirst) {
    for (std::vector<std::string> cmd : std::vector<std::vector<std::string>>{
             {"info"}, {"ls"}, {"tree"}, {"stat", "/a"}, {"timeline"}, {"export", "/a", "/tmp/never-written"},
             {"deleted"}, {"formatted"}, {"vmdk"}}) {
        RunResult r = run_cli(cmd);
        EXPECT_EQ(r.exit_code, 2) << cmd[0];
        EXPECT_EQ(r.err, "please set disks first\ngive the datastore's disks with -d PATH[@SECTOR] before the command\n")
            << cmd[0];
        EXPECT_EQ(r.out, "") << cmd[0];
    }
}

TEST(CliErrors, AddDiskRefusalsUseTheDiskSettingsTexts) {
        const std::string& m0 = multi().images[0];
    const std::string& m1 = multi().images[1];
    const std::string& other = demo().images[0];
    const auto [first1, last1] = multi().segments.at(1);
    const std::string held1 = first1 == last1 ? "segment " + std::to_string(first1)
                                              : "segments " + std::to_string(first1) + "-" + std::to_string(last1);
    const std::string after0 = std::to_string(multi().segments.at(0).second + 1);
    // The first line is the disk settings' own; the second names the disk
    // and what to give instead where the first does not.
    struct Case {
        std::vector<std::string> disks;
        std::string message;
        std::string next;   // the second line, "" for none
    };
    std::vector<Case> cases = {
        {{image_dir().file("no-such.img")}, "vlm not find", image_dir().file("no-such.img") + ": No such file or directory"},
        {{image_dir().path().string()}, "vlm not find", image_dir().path().string() + ": Is a directory"},
        {{m0 + "@2049"}, "vlm not find", ""},                          // wrong partition start
        // segment 0 is on the other member, not given or given after it
        {{m1}, "vlm is not first disk ",
         m1 + " holds " + held1 + " of its volume, not segment 0: give first the disk that holds segment 0 "
              "(datumsift detect " + m1 + " finds it)"},
        {{m1, m0}, "vlm is not first disk ",
         m1 + " holds " + held1 + " of its volume, not segment 0: give first " + m0 + "@2048, which holds segment 0"},
        {{m0, other}, "vlm  disk information mismatch ",
         other + " and " + m0 + " disagree on the volume's size, block count or member count: give only the disks "
                                 "of one datastore, all from the same copy"},
        {{m0, m0}, "vlm  disk not continue ", m0 + " is given twice: give next the disk that holds segment " + after0},
    };
    for (const Case& c : cases) {
        RunResult r = run_cli(with_disks(c.disks, {"info"}));
        EXPECT_EQ(r.exit_code, 1) << c.message;
        EXPECT_EQ(r.err, c.message + "\n" + (c.next.empty() ? "" : c.next + "\n"));
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

// "datumsift help CMD" prints what "datumsift CMD --help" does.
TEST(CliErrors, HelpNamesACommandsPage) {
    for (const char* cmd : {"info", "ls", "export", "detect", "mount", "help"}) {
        RunResult asked = run_cli({"help", cmd});
        RunResult flag = run_cli({cmd, "--help"});
        EXPECT_EQ(asked.exit_code, 0) << cmd;
        EXPECT_EQ(asked.out, flag.out) << cmd;
        EXPECT_NE(asked.out.find(std::string("datumsift ") + cmd), std::string::npos) << cmd;
    }
    RunResult top = run_cli({"help"});
    EXPECT_EQ(top.exit_code, 0);
    EXPECT_EQ(top.out, run_cli({"--help"}).out);
    RunResult wrong = run_cli({"help", "exprot"});
    EXPECT_EQ(wrong.exit_code, 2);
    EXPECT_EQ(wrong.err, "unknown command 'exprot'; did you mean 'export'?\n");
}

// A mount needs an existing directory that nothing is mounted on yet.
TEST(CliErrors, MountRefusesAMissingDirectoryAndAMountPoint) {
    const std::string missing = image_dir().file("no-such-dir");
    RunResult r = run_cli(with_disks(demo().images, {"mount", missing}));
    if (r.err.find("not available") != std::string::npos) GTEST_SKIP() << "built without the mount";
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "cannot mount at " + missing + ": no such directory\n");
    const std::string file = image_dir().file("a-file");
    dstest::write_file(file, std::vector<uint8_t>(1));
    EXPECT_EQ(run_cli(with_disks(demo().images, {"mount", file})).err, "cannot mount at " + file + ": not a directory\n");
    // "/proc" lies on a file system of its own; "/" is where the root is
    // mounted, though its parent is itself. The disk given cannot be opened,
    // so that a build without the check never mounts there either.
    for (const char* point : {"/proc", "/"}) {
        RunResult m = run_cli({"-d", image_dir().file("no-such.img"), "mount", point});
        EXPECT_EQ(m.exit_code, 1) << point;
        EXPECT_EQ(m.err, std::string("cannot mount at ") + point +
                             ": it is already a mount point: unmount what is there first, or choose an empty directory\n");
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
    const std::string& m0 = multi().images[0];
    const std::string& m1 = multi().images[1];
    // Scripts branch on "code", which stays whatever the words.
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string error;
        std::vector<std::string> details;   // empty: not compared
        std::string id;
    };
    const std::vector<Case> cases = {
        {{"--json", "-d", missing, "info"}, 1, "vlm not find", {missing + ": No such file or directory"}, "volume_not_found"},
        {{"--json", "ls"}, 2, "please set disks first", {"give the datastore's disks with -d PATH[@SECTOR] before the command"},
         "no_datastore"},
        {{"-d", "x.img@-1", "--json", "info"}, 2, "start sector '-1' of 'x.img@-1' is negative", {}, "usage"},
        {{"--json", "frobnicate"}, 2, "unknown command 'frobnicate'; see datumsift --help", {}, "usage"},
        {with_disks(demo().images, {"--json", "ls", "/no/such"}), 1, "dir open error", {"no entry 'no' in /"}, "dir_open_error"},
        {with_disks(demo().images, {"--json", "tree", "/vm1/vm1.vmx"}), 1, "dir open error", {}, "dir_open_error"},
        {with_disks(demo().images, {"--json", "export", "/vm1/vm1.vmx", "/no-such-dir/x"}), 1,
         "file save error|result:-1", {"cannot create /no-such-dir/x (No such file or directory)"}, "file_save_error"},
        {with_disks(demo().images, {"--json", "stat", "/nowhere"}), 1, "file open error", {}, "file_open_error"},
        {with_disks({m1}, {"--json", "info"}), 1, "vlm is not first disk ", {}, "volume_not_first_disk"},
        {with_disks({m0, m0}, {"--json", "info"}), 1, "vlm  disk not continue ", {}, "volume_not_continuous"},
        {with_disks({m0, demo().images[0]}, {"--json", "info"}), 1, "vlm  disk information mismatch ", {}, "volume_mismatch"},
    };
    for (const Case& c : cases) {
        RunResult r = run_cli(c.args);
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.exit_code, c.code);
        nlohmann::json j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["schema"], 1);
        EXPECT_EQ(j["exit_code"], c.code);
        EXPECT_EQ(j["error"], c.error);
        EXPECT_EQ(j["code"], c.id);
        if (!c.details.empty() || c.id == "usage") EXPECT_EQ(j["details"], nlohmann::json(c.details));
        else EXPECT_FALSE(j["details"].empty());   // the second line says which file and what to do
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
