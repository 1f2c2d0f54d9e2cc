// A real failing disk: the demo image served through FUSE (faultfs) with one
// sector whose reads fail with EIO in the kernel's own error path. The
// command reads around it; GNU ddrescue images the same disk, and its map
// then stands in for the failing disk.

#include "evidence_support.h"
#include "faulty_disk.h"

#include "disk/ddrescue_map.h"
#include "support/open_images.h"

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

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FailingDisk, OneBadSectorCostsA3MiBFileItsOwn512BytesAndDdrescueAgrees) {
    if (const char* why = evtest::why_no_fuse()) GTEST_SKIP() << why;
    const dsb::ObjectExpect& log = object(demo(), "/vm1/vm1.log");
    ASSERT_EQ(log.size, 3145733u);
    // Where the log's byte 1.5 MiB lies on the image: found through the
    // command itself on the healthy image (stat's logical-volume offset).
    RunResult st = run_cli(with_disks(demo().images, {"--json", "stat", "/vm1/vm1.log"}));
    ASSERT_EQ(st.exit_code, 0);
    const nlohmann::json doc = nlohmann::json::parse(st.out);
    const int64_t lv = doc["extents"][0]["lv_offset"];
    // Partition at sector 2048, volume header 1 MiB into it, data 16 MiB after that.
    const int64_t bad_file_offset = 1572864;
    const int64_t bad = demo().start_sector * 512 + 0x100000 + 0x1000000 + lv + bad_file_offset;

    dstest::TempDir dir;
    evtest::FaultyDisk disk(demo().images[0], dir.file("mnt"), {std::to_string(bad) + "+512"});
    ASSERT_TRUE(disk.ready()) << "faultfs did not come up";
    {
        // The kernel's error path really fails that sector, and only it.
        std::ifstream in(disk.path(), std::ios::binary);
        std::vector<char> sector(512);
        in.seekg(bad - 512);
        EXPECT_TRUE(in.read(sector.data(), 512));
        std::ifstream on_it(disk.path(), std::ios::binary);
        on_it.seekg(bad);
        EXPECT_FALSE(on_it.read(sector.data(), 512));
    }

    std::vector<uint8_t> want = dstest::expected_bytes(log);
    std::fill(want.begin() + bad_file_offset, want.begin() + bad_file_offset + 512, 0);
    const std::string dest = dir.file("vm1.log");
    RunResult r = run_cli({"-d", disk.path(), "--rescue", "export", "/vm1/vm1.log", dest});
    ASSERT_EQ(r.exit_code, 3) << r.err;
    EXPECT_NE(r.err.find("unreadable: 512 bytes in 1 ranges, filled with zeros"), std::string::npos) << r.err;
    EXPECT_TRUE(file_bytes(dest) == want);
    std::string listed;
    ASSERT_EQ(evtest::shell("ddrescuelog -b512 -l- " + dest + ".map", &listed), 0) << listed;
    EXPECT_EQ(listed, std::to_string(bad_file_offset / 512) + "\n");
    // 3,145,221 of the 3,145,733 bytes read.
    ds::Mapfile map;
    std::string error;
    ASSERT_TRUE(ds::read_mapfile(dest + ".map", map, error)) << error;
    EXPECT_EQ(map.covered - ds::total_length(map.not_finished), 3145221);
    std::string t;
    ASSERT_EQ(evtest::shell("ddrescuelog -t " + dest + ".map", &t), 0);
    EXPECT_NE(t.find("bad-sector:      512 B,  in      1 area(s)"), std::string::npos) << t;

    // Without --rescue the copy ends at the bad block, as before.
    RunResult plain = run_cli({"-d", disk.path(), "export", "/vm1/vm1.log", dir.file("plain")});
    EXPECT_EQ(plain.exit_code, 1);
    EXPECT_NE(plain.err.find("Input/output error"), std::string::npos) << plain.err;

    // GNU ddrescue images the failing disk; with its map the image reads
    // exactly as the failing disk did.
    std::string out;
    ASSERT_EQ(evtest::shell("ddrescue -q -b512 " + disk.path() + " " + dir.file("rescued.img") + " " +
                                dir.file("rescued.map"), &out), 0)
        << out;
    RunResult again = run_cli({"-d", dir.file("rescued.img"), "--mapfile", dir.file("rescued.map"), "--rescue",
                               "export", "/vm1/vm1.log", dir.file("again.log")});
    ASSERT_EQ(again.exit_code, 3) << again.err;
    EXPECT_TRUE(file_bytes(dir.file("again.log")) == want);
    EXPECT_EQ(file_bytes(dir.file("again.log.map")), file_bytes(dest + ".map"));
}

} // namespace
