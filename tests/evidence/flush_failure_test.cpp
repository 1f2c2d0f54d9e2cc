// A host disk that accepts the writes of an export into memory and fails
// when they are stored: the export must report the failure, not "success".
// The target is an ext4 file system on a loop device whose backing file lies
// on a tmpfs too small for it, so the writes land in the page cache and the
// flush fails. Needs root, mount, losetup and mkfs.ext4; skips without them.

#include "vmfs/store.h"
#include "evidence_support.h"

#include "support/open_images.h"
#include "export/file_export.h"
#include "export/folder_export.h"
#include "vmfs/inode.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace evtest {
namespace {

using clitest::RunResult;
using clitest::run_cli;
using clitest::with_disks;

class FlushFailure : public dstest::WithDatastore {
protected:
    void SetUp() override {
        WithDatastore::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "mounting the failing disk needs root";
        for (const char* p : {"mount", "umount", "losetup", "mkfs.ext4", "truncate"})
            if (!have_program(p)) GTEST_SKIP() << p << " is not installed";
        backing_ = dir_.file("backing");
        mnt_ = dir_.file("mnt");
        std::string out;
        if (shell("mkdir -p '" + backing_ + "' '" + mnt_ + "' && mount -t tmpfs -o size=6m tmpfs '" + backing_ + "'",
                  &out) != 0)
            GTEST_SKIP() << "no tmpfs can be mounted here: " << out;
        backing_mounted_ = true;
        if (shell("truncate -s 64M '" + backing_ + "/disk' && losetup -f --show '" + backing_ + "/disk'", &out) != 0 ||
            out.rfind("/dev/", 0) != 0)
            GTEST_SKIP() << "no loop device can be attached here: " << out;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        device_ = out;
        if (shell("mkfs.ext4 -q -F '" + device_ + "' && mount '" + device_ + "' '" + mnt_ + "'", &out) != 0)
            GTEST_SKIP() << "the test file system cannot be made or mounted: " << out;
        mnt_mounted_ = true;
    }
    void TearDown() override {
        if (mnt_mounted_) shell("umount '" + mnt_ + "'");
        if (!device_.empty()) shell("losetup -d '" + device_ + "'");
        if (backing_mounted_) shell("umount '" + backing_ + "'");
        WithDatastore::TearDown();
    }

    dstest::TempDir dir_;
    std::string backing_, mnt_, device_;
    bool backing_mounted_ = false, mnt_mounted_ = false;
};

TEST_F(FlushFailure, AnExportWhoseBytesCannotBeStoredFails) {
    // 3 MiB of data against 1.7 MiB left under the loop device.
    const dsb::DemoSummary& d = clitest::demo();
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, log.id, inode), 0);
    ds::ExportResult r = ds::file_export(store, ds::file_of(inode), mnt_ + "/log");
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ds::ExportFailure::write);

    RunResult cli = run_cli(with_disks(d.images, {"export", "/vm1/vm1.log", mnt_ + "/log2"}));
    EXPECT_EQ(cli.exit_code, 1);
    EXPECT_EQ(cli.out, "");
    EXPECT_NE(cli.err.find("file save error"), std::string::npos) << cli.err;
}

// The folder copy closes its files without an fsync each and syncs the
// file system once: the write the disk refused must still show there.
TEST_F(FlushFailure, AFolderCopyWhoseBytesCannotBeStoredIsNeverCalledComplete) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, mnt_ + "/vm1");
    ASSERT_EQ(r.refused, ds::FolderRefusal::none);
    EXPECT_FALSE(r.complete());
    const std::vector<uint8_t> m = dstest::read_file(mnt_ + "/vm1.manifest.json");
    EXPECT_EQ(std::string(m.begin(), m.end()).find("\"complete\": true"), std::string::npos);
}

} // namespace
} // namespace evtest
