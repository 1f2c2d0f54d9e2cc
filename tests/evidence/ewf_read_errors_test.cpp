// An E01 made by ewfacquire from a disk with a bad sector: the image keeps
// the sectors its acquirer could not read, and they read as a bad sector
// does, with no option: a read failure, or zeros named in the map under
// --rescue. The disk is the demo image served through faultfs and attached
// as a loop device (ewfacquire retries and records errors on devices only).

#include "evidence_support.h"
#include "faulty_disk.h"

#include "disk/ddrescue_map.h"
#include "disk/sector_source.h"
#include "support/open_images.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace clitest;
namespace fs = std::filesystem;

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> raw_bytes(const std::string& path, int64_t off, int64_t len) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(off);
    std::vector<uint8_t> out(static_cast<size_t>(len));
    in.read(reinterpret_cast<char*>(out.data()), len);
    return out;
}

// A read-only loop device over a file, detached when the test ends.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& file) {
        std::string out;
        if (evtest::shell("losetup -r -f --show '" + file + "'", &out) == 0) device_ = out.substr(0, out.find('\n'));
    }
    ~LoopDevice() {
        if (!device_.empty()) evtest::shell("losetup -d '" + device_ + "'");
    }
    const std::string& device() const { return device_; }

private:
    std::string device_;
};

// The acquisition read errors ewfinfo lists, as byte ranges of the media.
std::vector<ds::ByteSpan> listed_read_errors(const std::string& e01, std::string& text) {
    evtest::shell("ewfinfo '" + e01 + "' </dev/null", &text);
    std::vector<ds::ByteSpan> out;
    const size_t section = text.find("Read errors during acquiry");
    if (section == std::string::npos) return out;
    std::istringstream lines(text.substr(section));
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("at sector(s): ");
        long long first = 0, last = 0, count = 0;
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "at sector(s): %lld - %lld number: %lld", &first, &last, &count) == 3)
            out.push_back({first * 512, count * 512});
    }
    return out;
}

TEST(EwfReadErrors, SectorsTheAcquirerCouldNotReadFailOrAreZerosNamedInTheMap) {
    if (const char* why = evtest::why_no_fuse()) GTEST_SKIP() << why;
    if (!evtest::have_program("ewfacquire") || !evtest::have_program("ewfinfo"))
        GTEST_SKIP() << "ewfacquire and ewfinfo (Debian's ewf-tools) are not installed";
    if (::geteuid() != 0 || !evtest::have_program("losetup"))
        GTEST_SKIP() << "ewfacquire records read errors of devices only: a loop device (root, losetup) is needed";
    const dsb::ObjectExpect& log = object(demo(), "/vm1/vm1.log");
    RunResult st = run_cli(with_disks(demo().images, {"--json", "stat", "/vm1/vm1.log"}));
    ASSERT_EQ(st.exit_code, 0);
    const nlohmann::json doc = nlohmann::json::parse(st.out);
    const int64_t lv = doc["extents"][0]["lv_offset"];
    const int64_t extent_length = doc["extents"][0]["length"];
    // Partition at its start sector, volume header 1 MiB into it, data 16 MiB after that.
    const int64_t file_base = demo().start_sector * 512 + 0x100000 + 0x1000000 + lv;
    const int64_t bad_file_offset = 1572864;
    const int64_t bad = file_base + bad_file_offset;

    dstest::TempDir dir;
    const std::string e01 = dir.file("acquired.E01");
    {
        evtest::FaultyDisk disk(demo().images[0], dir.file("mnt"), {std::to_string(bad) + "+512"});
        ASSERT_TRUE(disk.ready()) << "faultfs did not come up";
        LoopDevice loop(disk.path());
        if (loop.device().empty()) GTEST_SKIP() << "no read-only loop device could be attached here";
        std::string out;
        const int rc = evtest::shell("ewfacquire -u -q -f encase6 -c none -b 64 -g 64 -r 0 -S 4294967296 -t '" +
                                         dir.file("acquired") + "' -C case -D description -e examiner -E evidence "
                                         "-N notes '" + loop.device() + "' </dev/null", &out);
        ASSERT_EQ(rc, 0) << out;
    }
    std::string info;
    const std::vector<ds::ByteSpan> recorded = listed_read_errors(e01, info);
    ASSERT_EQ(recorded.size(), 1u) << info;
    const ds::ByteSpan err = recorded[0];
    ASSERT_LE(err.offset, bad) << info;
    ASSERT_GE(err.end(), bad + 512) << info;
    // The recorded range lies in the log's first extent, so the map names it
    // at its distance from the file's start.
    ASSERT_GE(err.offset, file_base);
    ASSERT_LE(err.end(), file_base + extent_length);
    const ds::ByteSpan in_file{err.offset - file_base, err.length};

    // Through the source: the recorded range fails, its neighbours read.
    const std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
    std::vector<uint8_t> buf(4096);
    errno = 0;
    EXPECT_FALSE(posix->read(e01, err.end() - 100, 200, buf.data()));
    EXPECT_EQ(errno, EIO);
    ASSERT_TRUE(posix->read(e01, err.offset - 4096, 4096, buf.data()));
    EXPECT_EQ(buf, raw_bytes(demo().images[0], err.offset - 4096, 4096));
    ASSERT_TRUE(posix->read(e01, err.end(), 4096, buf.data()));
    EXPECT_EQ(buf, raw_bytes(demo().images[0], err.end(), 4096));
    posix->close_all();

    RunResult plain = run_cli({"-d", e01, "export", "/vm1/vm1.log", dir.file("plain")});
    EXPECT_EQ(plain.exit_code, 1);
    EXPECT_NE(plain.err.find("Input/output error"), std::string::npos) << plain.err;

    const std::string dest = dir.file("vm1.log");
    RunResult r = run_cli({"-d", e01, "--rescue", "export", "/vm1/vm1.log", dest});
    ASSERT_EQ(r.exit_code, 3) << r.err;
    std::vector<uint8_t> want = dstest::expected_bytes(log);
    std::fill(want.begin() + in_file.offset, want.begin() + in_file.end(), 0);
    EXPECT_TRUE(file_bytes(dest) == want);
    ds::Mapfile map;
    std::string error;
    ASSERT_TRUE(ds::read_mapfile(dest + ".map", map, error)) << error;
    EXPECT_EQ(map.not_finished, std::vector<ds::ByteSpan>{in_file});
    EXPECT_EQ(map.covered, static_cast<int64_t>(log.size));
}

} // namespace
