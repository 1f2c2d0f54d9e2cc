// Damaged media: export --rescue gives back every readable byte with an
// exact map of the rest, mapfiles of GNU ddrescue are honoured, and a real
// failing disk (an image served through FUSE with EIO ranges) is read
// around. The maps are read back with ddrescuelog and ddrescue themselves.

#include "evidence_support.h"

#include "disk/ddrescue_map.h"
#include "disk/memory_source.h"
#include "export/file_export.h"
#include "export/rescue_map.h"
#include "support/open_images.h"
#include "vmfs/datastore.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace clitest;
namespace fs = std::filesystem;

constexpr int64_t kLogSize = 3 * 1048576 + 5;   // /vm1/vm1.log of the demo

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

const dsb::ObjectExpect& log_object() { return object(demo(), "/vm1/vm1.log"); }

// Where byte off of /vm1/vm1.log lies on the demo's image.
int64_t image_offset_of_log(int64_t off) {
    ds::Datastore store;
    EXPECT_TRUE(dstest::open_images(store, demo()).message.empty());
    ds::File file;
    EXPECT_TRUE(store.open_file({log_object().id, -1}, file));
    ds::DevicePlace where;
    EXPECT_TRUE(store.place(file, off, 512, where));
    return where.offset;
}

// A mapfile of the demo image with one bad sector at image offset bad, as
// ddrescuelog writes it.
std::string ddrescuelog_map(const std::string& path, int64_t bad) {
    const int64_t size = static_cast<int64_t>(fs::file_size(demo().images[0]));
    std::string out;
    EXPECT_EQ(evtest::shell("echo " + std::to_string(bad / 512) + " | ddrescuelog -b512 -s " + std::to_string(size) +
                                " -c-+ " + path, &out),
              0)
        << out;
    return path;
}

std::vector<uint8_t> expected_with_zeros(const std::vector<ds::ByteSpan>& zeros) {
    std::vector<uint8_t> want = dstest::expected_bytes(log_object());
    for (const ds::ByteSpan& z : zeros) std::fill(want.begin() + z.offset, want.begin() + z.end(), 0);
    return want;
}

// "-" blocks of a map as ddrescuelog lists them: positions in 512-byte blocks.
std::string bad_blocks(const std::string& map) {
    std::string out;
    EXPECT_EQ(evtest::shell("ddrescuelog -b512 -l- " + map, &out), 0) << out;
    return out;
}

TEST(RescueMapFile, IsReadByDdrescuelogAsTheCopysMap) {
    if (!evtest::have_program("ddrescuelog")) GTEST_SKIP() << "ddrescuelog (gddrescue) is not installed";
    dstest::TempDir dir;
    const std::string path = dir.file("copy.map");
    ds::RescueMap map(path);
    ASSERT_TRUE(map.add({1024, 512}));
    ASSERT_TRUE(map.add({4096, 1536}));
    EXPECT_FALSE(map.add({2048, 512}));   // out of order: refused
    ASSERT_TRUE(map.finish(10000));
    ds::Mapfile back;
    std::string error;
    ASSERT_TRUE(ds::read_mapfile(path, back, error)) << error;
    EXPECT_EQ(back.covered, 10000);
    EXPECT_EQ(back.not_finished, (std::vector<ds::ByteSpan>{{1024, 512}, {4096, 1536}}));
    EXPECT_EQ(bad_blocks(path), "2\n8\n9\n10\n");
    std::string out;
    ASSERT_EQ(evtest::shell("ddrescuelog -t " + path, &out), 0) << out;
    EXPECT_NE(out.find("bad-sector:     2048 B,  in      2 area(s)"), std::string::npos) << out;
    // A copy that read everything leaves no map; a map is never written over
    // anything already there.
    ds::RescueMap none(dir.file("none.map"));
    EXPECT_TRUE(none.finish(10000));
    EXPECT_FALSE(fs::exists(dir.file("none.map")));
    ds::RescueMap again(path);
    EXPECT_FALSE(again.add({0, 512}));
    EXPECT_EQ(again.error(), EEXIST);
}

TEST(RescueExport, ZerosForEveryUnreadableSectorAndTheirRangesMergedAcrossRuns) {
    ds::MemorySource mem;
    mem.disks[demo().images[0]] = file_bytes(demo().images[0]);
    ds::Datastore store{mem};
    ASSERT_TRUE(dstest::open_images(store, demo()).message.empty());
    ds::File file;
    ASSERT_TRUE(store.open_file({log_object().id, -1}, file));
    // One sector mid-file, and a range across the edge of the first and
    // second block that the copy reads in one run.
    const std::vector<ds::ByteSpan> lost = {{1048576 - 1024, 2048}, {2 * 1048576 + 4096, 512}};
    for (const ds::ByteSpan& r : lost) mem.bad.push_back({image_offset_of_log(r.offset), r.length});
    dstest::TempDir dir;
    std::vector<ds::ByteSpan> seen;
    ds::ExportOptions eo;
    eo.rescue = true;
    eo.sha256 = true;
    eo.unreadable = [&](ds::ByteSpan r) {
        seen.push_back(r);
        return true;
    };
    ds::ExportResult res = ds::file_export(store, file, dir.file("out"), {}, eo);
    ASSERT_EQ(res.failure, ds::ExportFailure::none);
    EXPECT_EQ(res.bytes_written, kLogSize);
    EXPECT_EQ(seen, lost);
    EXPECT_EQ(res.unreadable_bytes, 2560);
    EXPECT_EQ(res.unreadable_ranges, 2);
    const std::vector<uint8_t> got = file_bytes(dir.file("out"));
    EXPECT_TRUE(got == expected_with_zeros(lost));
    EXPECT_EQ(res.sha256, evtest::sha256_of(got));

    // Without rescue the copy stops at the first bad sector's block, as before.
    ds::ExportResult plain = ds::file_export(store, file, dir.file("plain"));
    EXPECT_NE(plain.failure, ds::ExportFailure::none);
    EXPECT_EQ(plain.failure, ds::ExportFailure::read);
    EXPECT_EQ(plain.unreadable_bytes, 0);
    // A sink that refuses ends the copy.
    eo.unreadable = [](ds::ByteSpan) { return false; };
    EXPECT_EQ(ds::file_export(store, file, dir.file("refused"), {}, eo).failure, ds::ExportFailure::unreadable_sink);
}

class RescueCli : public ::testing::Test {
protected:
    dstest::TempDir dir;
    int64_t bad_file_offset = 1572864;   // mid-file: in the second block
    std::string map;
    void SetUp() override {
        if (!evtest::have_program("ddrescuelog")) GTEST_SKIP() << "ddrescuelog (gddrescue) is not installed";
        map = ddrescuelog_map(dir.file("demo.map"), image_offset_of_log(bad_file_offset));
    }
    std::vector<std::string> args(std::vector<std::string> rest) {
        std::vector<std::string> a = {"-d", demo().images[0], "--mapfile", map};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
};

TEST_F(RescueCli, AMapfileMakesItsBadSectorUnreadableAndRescueWritesTheWholeFileWithAMap) {
    const std::string dest = dir.file("vm1.log");
    // Without --rescue: the first unreadable block ends the copy, as ever.
    RunResult plain = run_cli(args({"export", "/vm1/vm1.log", dest}));
    EXPECT_EQ(plain.exit_code, 1) << plain.err;
    EXPECT_NE(plain.err.find("partial file: " + dest + "|written:1048576"), std::string::npos) << plain.err;
    EXPECT_FALSE(fs::exists(dest + ".map"));

    RunResult r = run_cli(args({"--rescue", "export", "/vm1/vm1.log", dest}));
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_EQ(r.err_lines(), (std::vector<std::string>{"unreadable: 512 bytes in 1 ranges, filled with zeros",
                                                       "map: " + dest + ".map"}));
    EXPECT_TRUE(file_bytes(dest) == expected_with_zeros({{bad_file_offset, 512}}));
    EXPECT_EQ(bad_blocks(dest + ".map"), std::to_string(bad_file_offset / 512) + "\n");
    std::string t;
    ASSERT_EQ(evtest::shell("ddrescuelog -t " + dest + ".map", &t), 0) << t;
    EXPECT_NE(t.find("rescued:    3145 kB,  in      2 area(s)"), std::string::npos) << t;

    // The map left there is never replaced: refused before anything is read.
    fs::remove(dest);
    RunResult again = run_cli(args({"--rescue", "export", "/vm1/vm1.log", dest}));
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_NE(again.err.find("not replacing " + dest + ".map: it exists"), std::string::npos) << again.err;
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(RescueCli, HashJsonStdoutAndAHealthyFile) {
    const std::string dest = dir.file("h.log");
    RunResult r = run_cli(args({"--rescue", "--json", "export", "--hash", "/vm1/vm1.log", dest}));
    ASSERT_EQ(r.exit_code, 3) << r.err;
    const nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["unreadable_bytes"], 512);
    EXPECT_EQ(doc["unreadable_ranges"], 1);
    EXPECT_EQ(doc["map"], dest + ".map");
    EXPECT_EQ(doc["sha256"], evtest::sha256_of_file(dest));
    EXPECT_EQ(doc["sha256_of"], "the bytes written, unreadable bytes as zeros");

    // To stdout: the ranges go to stderr, no map anywhere.
    RunResult out = run_cli(args({"--rescue", "export", "/vm1/vm1.log", "-"}));
    EXPECT_EQ(out.exit_code, 3);
    EXPECT_EQ(static_cast<int64_t>(out.out.size()), kLogSize);
    EXPECT_NE(out.err.find("unreadable range: offset " + std::to_string(bad_file_offset) + " length 512"),
              std::string::npos)
        << out.err;

    // A file the bad sector is not in: exit 0 and no map.
    RunResult ok = run_cli(args({"--rescue", "export", "/vm1/vm1.vmx", dir.file("vm1.vmx")}));
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_FALSE(fs::exists(dir.file("vm1.vmx.map")));
}

TEST_F(RescueCli, MalformedOrForeignMapfilesAreRefusedBeforeAnythingIsRead) {
    const int64_t size = static_cast<int64_t>(fs::file_size(demo().images[0]));
    char hex[64];
    std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(size));
    const std::string status = "0x0 +\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"garbage", "line 1: not a status line"},
        {status + "0x0 0x1000 +\n0x2000 " + hex + " +\n", "line 3: the block does not start where"},
        {status + "0x0 " + hex + " X\n", "line 2: not a block line"},
        {status + "0x0 0x0 +\n", "line 2: the block's size is not a positive size"},
        {status, "no blocks"},
        {status + "0x0 0x1000 +\n", "it describes 4096 bytes, but " + demo().images[0] + " holds"},
        {status + "0x0 " + hex + " +\n0x" + std::string(hex + 2) + " 0x200 -\n", "positions run past the image"},
    };
    for (const auto& [text, why] : cases) {
        write_text(map, text);
        const std::string dest = dir.file("never");
        RunResult r = run_cli(args({"export", "/vm1/vm1.log", dest}));
        EXPECT_EQ(r.exit_code, 1) << text;
        EXPECT_NE(r.err.find("mapfile " + map + " refused: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dest));
    }
    RunResult lone = run_cli({"--mapfile", map, "-d", demo().images[0], "info"});
    EXPECT_EQ(lone.exit_code, 2);
    EXPECT_NE(lone.err.find("--mapfile must follow the -d it belongs to"), std::string::npos) << lone.err;
}

} // namespace
