// The read-only promise: every command of datumsift, run on images, leaves
// their bytes, sizes and times as they were, and an export never replaces
// one of the images it reads, whatever name the destination is given.

#include "cli_run.h"

#include "builder/scenarios.h"
#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using clitest::run_cli;
using clitest::RunResult;
using Args = std::vector<std::string>;

// What a write to a file would change: its bytes, its size, and its
// modification and status-change times (reading changes neither).
struct Fingerprint {
    uint64_t hash = 0;
    uint64_t size = 0;
    timespec mtime{}, ctime{};
    bool operator==(const Fingerprint& o) const {
        return hash == o.hash && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

Fingerprint fingerprint(const std::string& path) {
    Fingerprint f;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return f;
    f.size = static_cast<uint64_t>(st.st_size);
    f.mtime = st.st_mtim;
    f.ctime = st.st_ctim;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    uint64_t h = 1469598103934665603ull;   // FNV-1a, 64 bits
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        for (std::streamsize i = 0; i < in.gcount(); ++i) h = (h ^ static_cast<uint8_t>(buf[i])) * 1099511628211ull;
    }
    f.hash = h;
    return f;
}

struct Images {
    dstest::TempDir dir;
    dsb::DemoSummary demo;
    dsb::FormattedSummary formatted;
    dsb::MultiSummary multi;
    std::vector<std::string> all() const {
        std::vector<std::string> v = demo.images;
        v.insert(v.end(), formatted.images.begin(), formatted.images.end());
        v.insert(v.end(), multi.images.begin(), multi.images.end());
        return v;
    }
};

const Images& images() {
    // Held to the end of the process, whose exit removes the directory.
    static const std::unique_ptr<Images> im = [] {
        auto i = std::make_unique<Images>();
        i->demo = dsb::build_demo(i->dir.path().string());
        i->formatted = dsb::build_formatted(i->dir.path().string());
        i->multi = dsb::build_multi(i->dir.path().string());
        return i;
    }();
    return *im;
}

// The subcommands the program's own help lists.
std::set<std::string> listed_commands() {
    RunResult help = run_cli({"--help"});
    std::set<std::string> names;
    std::istringstream in(help.out);
    std::string line;
    bool in_list = false;
    while (std::getline(in, line)) {
        if (line.rfind("Subcommands:", 0) == 0 || line.rfind("SUBCOMMANDS:", 0) == 0) {
            in_list = true;
            continue;
        }
        if (!in_list) continue;
        if (line.empty()) break;
        std::istringstream words(line);
        std::string name;
        if (words >> name) names.insert(name);
    }
    return names;
}

TEST(ReadOnly, EveryCommandLeavesTheImagesAsTheyWere) {
    const Images& im = images();
    const std::string out = im.dir.file("exported");
    const std::string deleted_id = "#" + std::to_string(im.demo.deleted_file.id);
    auto demo = [&](Args rest) { return clitest::with_disks(im.demo.images, std::move(rest)); };
    auto formatted = [&](Args rest) { return clitest::with_disks(im.formatted.images, std::move(rest)); };
    auto multi = [&](Args rest) { return clitest::with_disks(im.multi.images, std::move(rest)); };

    // Each command with the arguments that make it read the most.
    std::map<std::string, std::vector<Args>> runs = {
        {"info", {demo({"info"}), multi({"--json", "info"})}},
        {"ls", {demo({"ls", "-l", "/vm1"}), formatted({"ls", "--formatted", "DIR2"}), demo({"--json", "ls"})}},
        {"tree", {demo({"tree"}), formatted({"tree", "--formatted"}), multi({"--json", "tree"})}},
        {"stat", {demo({"stat", "/vm2/vm2-thin.vmdk"}), demo({"--json", "stat", deleted_id}),
                  formatted({"stat", "--formatted", "DIR2"}),
                  demo({"stat", "--domain", im.demo.images.front(), "/vm1/vm1.vmx", "/vm2/vm2-flat.vmdk"})}},
        {"timeline", {demo({"timeline", "--deleted"}), formatted({"timeline", "--formatted"})}},
        {"export",
         {demo({"export", "/vm2/vm2-flat.vmdk", out}), demo({"export", "vmdk:1", out}),
          demo({"export", "/vm1/vm1.log", "-"}), demo({"export", deleted_id, out}),
          formatted({"export", "--formatted", "DIR2/vm-old-flat.vmdk", out}), multi({"export", "/span/span.bin", out})}},
        {"deleted", {demo({"deleted"}), demo({"--json", "deleted"}), formatted({"deleted", "-l", "--dirs", "--formatted"})}},
        {"formatted", {formatted({"formatted", "--tree"}), formatted({"--json", "formatted", "--tree"})}},
        {"vmdk", {demo({"vmdk"}), demo({"--json", "vmdk"})}},
        {"detect", {[&] {
             Args a = {"detect"};
             for (const std::string& i : im.all()) a.push_back(i);
             return a;
         }()}},
        {"disks", {{"disks"}, {"--json", "disks"}}},
        {"help", {{"help"}, {"help", "export"}}},
        // Each mount stays until the end, where its files are read through it.
        {"mount", {demo({"mount", im.dir.file("mnt-demo")}), formatted({"mount", "--formatted", im.dir.file("mnt-found")}),
                   demo({"mount", "--deleted", im.dir.file("mnt-deleted")}),
                   demo({"mount", "--lost", im.dir.file("mnt-lost")})}},
    };
    for (const char* m : {"mnt-demo", "mnt-found", "mnt-deleted", "mnt-lost"}) fs::create_directories(im.dir.file(m));

    std::map<std::string, Fingerprint> before;
    for (const std::string& i : im.all()) before[i] = fingerprint(i);
    for (const std::string& cmd : listed_commands()) {
        auto it = runs.find(cmd);
        if (it == runs.end()) {
            ADD_FAILURE() << "datumsift has a command '" << cmd
                          << "' this test does not run yet: give it its arguments in the table above";
            it = runs.emplace(cmd, std::vector<Args>{demo({cmd})}).first;   // still run, with the disks alone
        }
        for (const Args& args : it->second) {
            SCOPED_TRACE(::testing::PrintToString(args));
            RunResult r = run_cli(args);
            EXPECT_EQ(r.signal, 0) << r.err;
            EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.exit_code << " " << r.err;
        }
    }
    EXPECT_GE(runs.size(), 9u);
    // A machine without FUSE refuses the mounts (exit 1) and has nothing here.
    for (const char* m : {"mnt-demo", "mnt-found", "mnt-deleted", "mnt-lost"}) {
        const std::string mnt = im.dir.file(m);
        std::system(("cat $(find '" + mnt + "' -type f) > /dev/null 2>&1; fusermount3 -u '" + mnt + "' 2>/dev/null").c_str());
    }
    for (const std::string& i : im.all()) EXPECT_TRUE(fingerprint(i) == before[i]) << i << " changed";
}

// The destination is compared by the file it names, not by its spelling: a
// relative path, a path through "..", a symbolic link and a hard link to the
// image are all refused, with the command's message, and the image stays.
TEST(ReadOnly, AnExportNeverReplacesAnImageItReads) {
    const Images& im = images();
    const std::string img = im.multi.images[1];   // the second member: the source lies on the first
    const fs::path p(img);
    const std::string sym = im.dir.file("link-to-member.img");
    const std::string hard = im.dir.file("hard-link-to-member.img");
    fs::remove(sym);
    fs::remove(hard);
    fs::create_symlink(p, sym);
    fs::create_hard_link(p, hard);
    const Fingerprint before = fingerprint(img);

    const std::vector<std::string> names = {img, (p.parent_path() / ".." / p.parent_path().filename() / p.filename()).string(),
                                            sym, hard};
    for (const std::string& dest : names) {
        SCOPED_TRACE(dest);
        RunResult r = run_cli(clitest::with_disks(im.multi.images, {"export", "/span/span.vmx", dest}));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "file save error|result:-1\nrefusing to replace " + dest + ", a disk being read\n");
    }
    // Only hard links share the image's times; a fingerprint taken after the
    // links were made is the one to compare.
    EXPECT_TRUE(fingerprint(img) == before);
    fs::remove(sym);
    fs::remove(hard);
}

// --to-device writes to a block device that is there and to nothing else: a
// mistyped device name is not made into a new file, and a file is not
// replaced in its stead.
TEST(ReadOnly, ToDeviceWritesOnlyToAnExistingBlockDevice) {
    const Images& im = images();
    const std::string missing = im.dir.file("no-such-device");
    const std::string plain = im.dir.file("plain-file");
    {
        std::ofstream(plain) << "kept\n";
    }
    for (bool no_clobber : {false, true}) {
        fs::remove(missing);
        Args args = {"export", "--to-device", "/vm1/vm1.vmx", missing};
        if (no_clobber) args.insert(args.begin() + 1, "--no-clobber");
        RunResult r = run_cli(clitest::with_disks(im.demo.images, args));
        EXPECT_EQ(r.exit_code, 1) << no_clobber;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "file save error|result:-1\ncannot create " + missing + " (No such file or directory)\n");
        EXPECT_FALSE(fs::exists(missing));
    }
    RunResult r = run_cli(clitest::with_disks(im.demo.images, {"export", "--to-device", "/vm1/vm1.vmx", plain}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "file save error|result:-1\ncannot create " + plain + " (Block device required)\n");
    std::ifstream in(plain);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "kept");
    fs::remove(plain);
    // Standard output, a pipe here, is no device either.
    r = run_cli(clitest::with_disks(im.demo.images, {"export", "--to-device", "/vm1/vm1.vmx", "-"}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("(Block device required)"), std::string::npos) << r.err;
}

} // namespace
