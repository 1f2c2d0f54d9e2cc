// Every fuzz target's entry point, run in a plain test program over the
// inputs that once crashed or hung it (inputs/<target>/) and over the seeds
// its corpus starts from, so that a fixed fault stays fixed in every build,
// the sanitizer build included.

#include "datastore_harness.h"
#include "seeds.h"

#include "disk/sector_source.h"
#include "support/test_support.h"
#include "vmfs/fs.h"

#include <filesystem>
#include <gtest/gtest.h>

extern "C" {
int fuzz_entry_volume_header(const uint8_t* data, size_t size);
int fuzz_entry_fsinfo(const uint8_t* data, size_t size);
int fuzz_entry_bitmap(const uint8_t* data, size_t size);
int fuzz_entry_descriptor(const uint8_t* data, size_t size);
int fuzz_entry_dirent(const uint8_t* data, size_t size);
int fuzz_entry_mbr(const uint8_t* data, size_t size);
int fuzz_entry_datastore(const uint8_t* data, size_t size);
}

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*entry)(const uint8_t*, size_t);
};

constexpr Target kTargets[] = {
    {"volume_header", fuzz_entry_volume_header}, {"fsinfo", fuzz_entry_fsinfo},
    {"bitmap", fuzz_entry_bitmap},               {"descriptor", fuzz_entry_descriptor},
    {"dirent", fuzz_entry_dirent},               {"mbr", fuzz_entry_mbr},
    {"datastore", fuzz_entry_datastore},
};

// The parser targets swap in an in-memory disk; the next test reads files.
class FuzzReplay : public dstest::WithDatastore {
protected:
    void TearDown() override {
        new_store();
        dstest::WithDatastore::TearDown();
    }
};

TEST_F(FuzzReplay, RegressionInputsOfEveryTargetRunClean) {
    for (const Target& t : kTargets) {
        const fs::path dir = fs::path(HOSTILE_INPUTS) / t.name;
        if (!fs::is_directory(dir)) continue;
        for (const fs::directory_entry& f : fs::directory_iterator(dir)) {
            SCOPED_TRACE(f.path().string());
            const std::vector<uint8_t> input = dstest::read_file(f.path().string());
            EXPECT_EQ(t.entry(input.data(), input.size()), 0);
        }
    }
}

TEST_F(FuzzReplay, SeedsOfEveryTargetRunClean) {
    const auto seeds = dsfuzz::make_seeds();
    for (const Target& t : kTargets) {
        auto it = seeds.find(t.name);
        ASSERT_NE(it, seeds.end()) << "no seeds for " << t.name;
        EXPECT_GE(it->second.size(), 2u) << t.name;
        for (const dsfuzz::Seed& s : it->second) {
            SCOPED_TRACE(std::string(t.name) + "/" + s.name);
            EXPECT_EQ(t.entry(s.bytes.data(), s.bytes.size()), 0);
        }
    }
}

// A harness that never got past the opening would fuzz nothing: on the
// undamaged datastore every step finds what the builder put there, and it
// still does after a run that damaged and restored the image.
TEST_F(FuzzReplay, TheEndToEndHarnessReachesEveryStepAndRestoresTheImage) {
    dsfuzz::DatastoreHarness& h = dsfuzz::harness();
    auto check = [](const dsfuzz::RunOutcome& o) {
        EXPECT_TRUE(o.disk_added);
        EXPECT_EQ(o.open_message, "");
        EXPECT_TRUE(o.tree_walked);
        EXPECT_GE(o.tree_entries, 15);
        EXPECT_GE(o.exports, 3);
        EXPECT_EQ(o.deleted, ds::ScanEnd::finished);
        EXPECT_EQ(o.deleted_rows, 4);   // a deleted file and the files of three deleted directories
        EXPECT_EQ(o.formatted, ds::ScanEnd::finished);
        EXPECT_EQ(o.found_dirs, 2);   // one intact, one through a surviving copy of its entries
        EXPECT_EQ(o.vmdk, ds::ScanEnd::finished);
        EXPECT_EQ(o.vmdk_rows, 1);
        EXPECT_GE(o.mount_probes, 15);
        EXPECT_GE(o.mount_holes, 1);   // the thin disk's holes
    };
    check(h.run(nullptr, 0));

    const std::vector<uint8_t> zeros(512, 0);
    std::vector<uint8_t> damage = dsfuzz::patch(h.region_index("fs descriptor"), 0, zeros);
    const dsfuzz::RunOutcome broken = h.run(damage.data(), damage.size());
    EXPECT_EQ(broken.open_message, "fs info read error");
    EXPECT_EQ(broken.deleted, ds::ScanEnd::not_open);

    const std::vector<uint8_t> fail = dsfuzz::fail_reads_from(0);
    EXPECT_FALSE(h.run(fail.data(), fail.size()).disk_added);
    check(h.run(nullptr, 0));
}

} // namespace
