// Where an export writes and what it says it wrote: a link or file planted in
// the destination while the copy runs is never followed or replaced, the
// manifest's place is beside the resolved destination and an existing one is
// kept unless the operator asks, and on a full disk the count, the digest and
// the file agree.

#include "vmfs/store.h"
#include "evidence_support.h"

#include "support/open_images.h"
#include "export/file_export.h"
#include "export/folder_export.h"
#include "vmfs/inode.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;
using clitest::RunResult;
using clitest::run_cli;
using clitest::with_disks;

const nlohmann::json* item(const nlohmann::json& m, const std::string& path) {
    for (const nlohmann::json& it : m["items"])
        if (it["path"] == path) return &it;
    return nullptr;
}

class Destination : public dstest::WithDatastore {};

TEST_F(Destination, LinksPlantedWhileTheCopyRunsAreNeverFollowed) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    const std::string dest = out.file("vm1");
    const std::string outside = out.file("outside");
    fs::create_directory(outside);
    const std::vector<uint8_t> kept = {1, 2, 3};
    dstest::write_file(outside + "/victim", kept);
    dstest::write_file(outside + "/victim2", kept);

    // At the first report (after the inline vm1.vmx) the names still to come
    // are taken: a link where a copy in progress goes, a link at a final
    // name, and a link where a directory is to be made.
    bool planted = false;
    ds::FolderExportOptions o;
    o.progress = [&](int64_t, int64_t) {
        if (!planted) {
            planted = true;
            fs::create_symlink(outside + "/victim", dest + "/vm1.log.partial");
            fs::create_symlink(outside + "/victim2", dest + "/vm1.nvram");
            fs::create_directory_symlink(outside, dest + "/snapshots");
        }
        return true;
    };
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, dest, o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    ASSERT_TRUE(planted);
    EXPECT_EQ(dstest::read_file(outside + "/victim"), kept);
    EXPECT_EQ(dstest::read_file(outside + "/victim2"), kept);
    std::vector<std::string> in_outside;
    for (const auto& e : fs::directory_iterator(outside)) in_outside.push_back(e.path().filename().string());
    std::sort(in_outside.begin(), in_outside.end());
    EXPECT_EQ(in_outside, (std::vector<std::string>{"victim", "victim2"}));

    // Those items fail; the rest is copied.
    EXPECT_FALSE(r.complete());
    EXPECT_TRUE(r.manifest_written);
    const nlohmann::json m = read_json(dest + ".manifest.json");
    const std::map<std::string, std::string> expect = {{"vm1.vmx", "ok"},
                                                       {"vm1.nvram", "partial"},
                                                       {"vm1.log", "failed"},
                                                       {"snapshots", "failed"},
                                                       {"snapshots/vm1-Snapshot1.vmsn", "failed"}};
    for (const auto& [path, status] : expect) {
        SCOPED_TRACE(path);
        const nlohmann::json* it = item(m, path);
        ASSERT_NE(it, nullptr);
        EXPECT_EQ((*it)["status"], status) << it->dump();
    }
    EXPECT_NE((*item(m, "vm1.log"))["detail"].get<std::string>().find("in the way"), std::string::npos);
    // The whole copy of vm1.nvram stays under its own name, beside the link.
    const dsb::ObjectExpect& nvram = clitest::object(d, "/vm1/vm1.nvram");
    EXPECT_EQ(clitest::compare_file(dest + "/vm1.nvram.partial", nvram.content, nvram.size), "");
    EXPECT_TRUE(fs::is_symlink(dest + "/vm1.nvram"));
}

TEST(ManifestPlace, BesideTheResolvedDestinationAndNeverOverAnExistingOne) {
    const dsb::DemoSummary& d = clitest::demo();
    dstest::TempDir out;
    fs::create_directory(out.file("e"));
    // "e/." is the folder e: the manifest goes beside it, not into it.
    RunResult r = run_cli(with_disks(d.images, {"export", "-r", "/vm1", out.file("e") + "/."}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string manifest = fs::canonical(out.path()).string() + "/e.manifest.json";
    EXPECT_NE(r.out.find("manifest: " + manifest + "\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(out.file("e/..manifest.json")));
    EXPECT_EQ(read_json(manifest)["complete"], true);
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    EXPECT_EQ(clitest::compare_file(out.file("e/vm1.log"), log.content, log.size), "");

    // An existing manifest is refused before anything is written.
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    dstest::write_file(out.file("f.manifest.json"), old);
    r = run_cli(with_disks(d.images, {"export", "-r", "/vm1", out.file("f")}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "file save error|result:-1\nrefusing to replace the manifest " + out.file("f") +
                         ".manifest.json (--replace-manifest replaces it)\n");
    EXPECT_FALSE(fs::exists(out.file("f")));
    EXPECT_EQ(dstest::read_file(out.file("f.manifest.json")), old);
    // Asked for, it is replaced.
    r = run_cli(with_disks(d.images, {"export", "-r", "--replace-manifest", "/vm1", out.file("f")}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_json(out.file("f.manifest.json"))["complete"], true);

    // A link in the manifest's place is not a manifest: never replaced, never followed.
    dstest::write_file(out.file("victim"), old);
    fs::create_symlink(out.file("victim"), out.file("g.manifest.json"));
    r = run_cli(with_disks(d.images, {"export", "-r", "--replace-manifest", "/vm1", out.file("g")}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(fs::exists(out.file("g")));
    EXPECT_EQ(dstest::read_file(out.file("victim")), old);
    EXPECT_TRUE(fs::is_symlink(out.file("g.manifest.json")));
}

// What the command checks before opening the disks can change before the
// file is opened: the copy itself creates the file exclusively or not at all.
TEST_F(Destination, NoClobberCreatesTheFileOrNothing) {
    const dsb::DemoSummary& d = clitest::demo();
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, log.id, inode), 0);
    dstest::TempDir out;
    const std::vector<uint8_t> kept = {7, 7, 7};
    dstest::write_file(out.file("there"), kept);
    dstest::write_file(out.file("victim"), kept);
    fs::create_symlink(out.file("victim"), out.file("link"));
    fs::create_symlink(out.file("nowhere"), out.file("dangling"));
    ds::ExportOptions eo;
    eo.no_clobber = true;
    eo.sha256 = true;
    for (const char* name : {"there", "link", "dangling"}) {
        SCOPED_TRACE(name);
        ds::ExportResult r = ds::file_export(store, ds::file_of(inode), out.file(name), {}, eo);
        EXPECT_NE(r.failure, ds::ExportFailure::none);
        EXPECT_EQ(r.failure, ds::ExportFailure::exists);
        EXPECT_FALSE(r.opened);
        EXPECT_EQ(r.bytes_written, 0);
    }
    EXPECT_EQ(dstest::read_file(out.file("there")), kept);
    EXPECT_EQ(dstest::read_file(out.file("victim")), kept);
    EXPECT_FALSE(fs::exists(out.file("nowhere")));

    ds::ExportResult fresh = ds::file_export(store, ds::file_of(inode), out.file("fresh"), {}, eo);
    ASSERT_EQ(fresh.failure, ds::ExportFailure::none);
    EXPECT_EQ(clitest::compare_file(out.file("fresh"), log.content, log.size), "");
    // Without it the same file is replaced, as before.
    eo.no_clobber = false;
    ds::ExportResult again = ds::file_export(store, ds::file_of(inode), out.file("there"), {}, eo);
    ASSERT_EQ(again.failure, ds::ExportFailure::none);
    EXPECT_EQ(clitest::compare_file(out.file("there"), log.content, log.size), "");
}

// A small tmpfs that runs out of room in the middle of a chunk.
class FullDisk : public dstest::WithDatastore {
protected:
    void SetUp() override {
        WithDatastore::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
        if (!have_program("mount")) GTEST_SKIP() << "mount is not installed";
        mnt_ = dir_.file("small");
        std::string why;
        // 375 pages: the second megabyte of a copy fits only in part.
        if (shell("mkdir -p '" + mnt_ + "' && mount -t tmpfs -o size=1500k tmpfs '" + mnt_ + "'", &why) != 0)
            GTEST_SKIP() << "no tmpfs can be mounted here: " << why;
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) shell("umount '" + mnt_ + "'");
        WithDatastore::TearDown();
    }
    dstest::TempDir dir_;
    std::string mnt_;
    bool mounted_ = false;
};

TEST_F(FullDisk, TheCountTheDigestAndTheFileAgree) {
    const dsb::DemoSummary& d = clitest::demo();
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, log.id, inode), 0);
    ds::ExportOptions eo;
    eo.sha256 = true;
    const std::string host = mnt_ + "/log";
    ds::ExportResult r = ds::file_export(store, ds::file_of(inode), host, {}, eo);
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ds::ExportFailure::write);
    EXPECT_TRUE(r.opened);
    EXPECT_GT(r.bytes_written, 1048576);   // the part of a chunk the disk took counts
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(host)), r.bytes_written);
    EXPECT_EQ(r.sha256, sha256_of_file(host));
    EXPECT_EQ(r.sha256, sha256_of_content(log.content, static_cast<uint64_t>(r.bytes_written)));
    fs::remove(host);

    // The command names the file as partial, with what it holds, after the
    // failure itself.
    RunResult cli = run_cli(with_disks(d.images, {"export", "/vm1/vm1.log", host}));
    EXPECT_EQ(cli.exit_code, 1);
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = cli.err.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(cli.err.substr(at, nl - at));
    ASSERT_GE(lines.size(), 2u) << cli.err;
    EXPECT_EQ(lines[0], "file save error|result:-1");
    EXPECT_EQ(lines[1], "partial file: " + host + "|written:" + std::to_string(fs::file_size(host)));
    fs::remove(host);

    // In a folder export the manifest (beside the full disk) tells the same.
    ds::FolderExportResult f = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, mnt_);
    ASSERT_EQ(f.refused, ds::FolderRefusal::none) << refusal_text(f);
    ASSERT_TRUE(f.manifest_written);
    const nlohmann::json m = read_json(mnt_ + ".manifest.json");
    const nlohmann::json* it = item(m, "vm1.log");
    ASSERT_NE(it, nullptr);
    EXPECT_EQ((*it)["status"], "partial");
    const std::string kept = mnt_ + "/" + (*it)["host_path"].get<std::string>();
    EXPECT_EQ((*it)["bytes_written"], fs::file_size(kept));
    EXPECT_EQ((*it)["sha256"], sha256_of_file(kept));
}

} // namespace
} // namespace evtest
