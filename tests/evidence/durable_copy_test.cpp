// A folder export pays for durability once: every file is written, then the
// destination's file system is synced in one go, and only then does the
// manifest say whether the copy is complete. A sync the host fails must
// leave no manifest that claims completeness.

#include "vmfs/store.h"
#include "evidence_support.h"

#include "support/open_images.h"
#include "export/folder_export.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace evtest {
namespace {

class DurableCopy : public dstest::WithDatastore {};

const std::vector<std::string> kVm1Files = {"vm1.vmx", "vm1.nvram", "vm1.log", "snapshots/vm1-Snapshot1.vmsn"};

TEST_F(DurableCopy, EveryFileIsWrittenBeforeTheOneSyncAndTheManifestEndsAfterIt) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    const std::string dest = out.file("vm1");
    int calls = 0;
    ds::FolderExportOptions o;
    o.source_text = "/vm1";
    o.sync_file_system = [&](int fd) {
        ++calls;
        // One file system: the one the copy is on.
        struct stat of_fd {}, of_dest {};
        EXPECT_EQ(::fstat(fd, &of_fd), 0);
        EXPECT_EQ(::stat(dest.c_str(), &of_dest), 0);
        EXPECT_EQ(of_fd.st_dev, of_dest.st_dev);
        // Every file is there whole, under its own name, before the sync...
        for (const std::string& f : kVm1Files) {
            const dsb::ObjectExpect& obj = clitest::object(d, "/vm1/" + f);
            EXPECT_EQ(clitest::compare_file(dest + "/" + f, obj.content, obj.size), "") << f;
        }
        // ...and nothing on the host says the copy is complete yet.
        const std::vector<uint8_t> m = dstest::read_file(dest + ".manifest.json");
        EXPECT_EQ(std::string(m.begin(), m.end()).find("\"complete\""), std::string::npos);
        return ds::sync_file_system(fd);
    };
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, dest, o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(r.sync_errno, 0);
    const nlohmann::json m = read_json(dest + ".manifest.json");
    ASSERT_FALSE(m.is_discarded());
    EXPECT_EQ(m["complete"], true);
    EXPECT_FALSE(m.contains("sync_failed"));
}

TEST_F(DurableCopy, ASyncTheHostFailsMakesTheExportFailAndTheManifestSaySo) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    const std::string dest = out.file("vm1");
    ds::FolderExportOptions o;
    o.source_text = "/vm1";
    o.sync_file_system = [](int) { return EIO; };
    ds::FolderExportResult r = ds::folder_export(store, ds::Node{d.ids.at("/vm1"), -1}, dest, o);
    ASSERT_EQ(r.refused, ds::FolderRefusal::none) << refusal_text(r);
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(r.sync_errno, EIO);
    EXPECT_EQ(r.failures, 1);
    EXPECT_EQ(r.files, 4);
    ASSERT_TRUE(r.manifest_written);
    const nlohmann::json m = read_json(dest + ".manifest.json");
    ASSERT_FALSE(m.is_discarded());
    EXPECT_EQ(m["complete"], false);
    EXPECT_EQ(m["failures"], 1);
    EXPECT_NE(m.value("sync_failed", std::string()).find("Input/output error"), std::string::npos) << m.dump();

    // A set of found directories goes through the same ending.
    const std::string dest2 = out.file("set");
    ds::FolderExportResult set = ds::folder_export_set(
        store, {ds::FolderSource{ds::Node{d.ids.at("/vm1"), -1}, "vm1"}}, dest2, o);
    EXPECT_FALSE(set.complete());
    EXPECT_EQ(set.sync_errno, EIO);
    EXPECT_EQ(read_json(dest2 + ".manifest.json")["complete"], false);
}

} // namespace
} // namespace evtest
