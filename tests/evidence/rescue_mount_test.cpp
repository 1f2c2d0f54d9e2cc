// The mount over a failing disk (faultfs): it answers as the disk does,
// sector by sector, so that GNU ddrescue run on a mounted file rescues every
// readable byte and maps exactly the unreadable ones; under --rescue the
// file reads whole, with zeros there, and the range is named once.

#include "evidence_support.h"
#include "faulty_disk.h"

#include "disk/ddrescue_map.h"
#include "support/open_images.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace {

using namespace clitest;

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The whole file, read 1 MiB at a time; empty when a read fails.
std::vector<uint8_t> read_whole(const std::string& path) {
    std::vector<uint8_t> out;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    std::vector<uint8_t> buf(1 << 20);
    for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) != 0;) {
        if (n < 0) {
            out.clear();
            break;
        }
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    ::close(fd);
    return out;
}

std::string text_of(const std::string& path) {
    const std::vector<uint8_t> bytes = file_bytes(path);
    return {bytes.begin(), bytes.end()};
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FailingDisk, TheMountFailsExactlyTheBadSectorAndDdrescueOnItMapsWhatExportMaps) {
    if (const char* why = evtest::why_no_fuse()) GTEST_SKIP() << why;
    const dsb::ObjectExpect& log = object(demo(), "/vm1/vm1.log");
    RunResult st = run_cli(with_disks(demo().images, {"--json", "stat", "/vm1/vm1.log"}));
    ASSERT_EQ(st.exit_code, 0);
    const int64_t lv = nlohmann::json::parse(st.out)["extents"][0]["lv_offset"];
    // Two sectors into a page: a page-sized answer would lose the two
    // readable sectors before it and the six after it.
    const int64_t bad_at = 1572864 + 1024;
    const int64_t bad = demo().start_sector * 512 + 0x100000 + 0x1000000 + lv + bad_at;

    dstest::TempDir dir;
    evtest::FaultyDisk disk(demo().images[0], dir.file("disk"), {std::to_string(bad) + "+512"});
    ASSERT_TRUE(disk.ready()) << "faultfs did not come up";
    const std::vector<uint8_t> good = dstest::expected_bytes(log);
    std::vector<uint8_t> want = good;
    std::fill(want.begin() + bad_at, want.begin() + bad_at + 512, 0);

    // What export --rescue maps, the reference.
    RunResult ex = run_cli({"-d", disk.path(), "--rescue", "export", "/vm1/vm1.log", dir.file("export.log")});
    ASSERT_EQ(ex.exit_code, 3) << ex.err;
    ds::Mapfile export_map;
    std::string error;
    ASSERT_TRUE(ds::read_mapfile(dir.file("export.log.map"), export_map, error)) << error;
    ASSERT_EQ(export_map.not_finished, (std::vector<ds::ByteSpan>{{bad_at, 512}}));

    // The failing disk itself (whole runs the kernel copies from it), and
    // the image ddrescue made of it with its map (read by the library,
    // which fails the bytes the map does not mark finished).
    std::string out;
    ASSERT_EQ(evtest::shell("ddrescue -q -b512 " + disk.path() + " " + dir.file("disk.img") + " " +
                                dir.file("disk.map"), &out), 0)
        << out;
    const std::vector<std::vector<std::string>> sources = {
        {"-d", disk.path()}, {"-d", dir.file("disk.img"), "--mapfile", dir.file("disk.map")}};
    for (size_t k = 0; k < sources.size(); ++k) {
        SCOPED_TRACE(sources[k][1]);
        const std::string n = std::to_string(k);
        const std::string mnt = dir.file("mnt" + n);
        evtest::ForegroundMount mount(sources[k], mnt, "/vm1/vm1.log", dir.file("mount.err" + n));
        ASSERT_TRUE(mount.ready()) << text_of(dir.file("mount.err" + n));
        const std::string file = mnt + "/vm1/vm1.log";
        const int fd = ::open(file.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> buf(65536);
        // A read that starts before the bad sector gets the bytes before it,
        // also from inside a sector.
        ASSERT_EQ(::pread(fd, buf.data(), buf.size(), bad_at - 1000), 1000);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1000, good.begin() + bad_at - 1000));
        ASSERT_EQ(::pread(fd, buf.data(), 700, bad_at - 300), 300);
        // A read of 1 MiB reaches the mount as requests of half that: the
        // first is answered whole, the second up to the bad sector.
        std::vector<uint8_t> big(1 << 20);
        ASSERT_EQ(::pread(fd, big.data(), big.size(), bad_at - 1024 - (1 << 19)), (1 << 19) + 1024);
        EXPECT_TRUE(std::equal(big.begin(), big.begin() + (1 << 19) + 1024, good.begin() + bad_at - 1024 - (1 << 19)));
        // One that starts on it fails, anywhere in it; the sector after reads.
        errno = 0;
        EXPECT_EQ(::pread(fd, buf.data(), buf.size(), bad_at), -1);
        EXPECT_EQ(errno, EIO);
        errno = 0;
        EXPECT_EQ(::pread(fd, buf.data(), 10, bad_at + 511), -1);
        EXPECT_EQ(errno, EIO);
        ASSERT_EQ(::pread(fd, buf.data(), 4096, bad_at + 512), 4096);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4096, good.begin() + bad_at + 512));
        // Still the whole file afterwards: no short answer was taken for its end.
        struct stat sb {};
        ASSERT_EQ(::fstat(fd, &sb), 0);
        EXPECT_EQ(sb.st_size, static_cast<off_t>(good.size()));
        ::close(fd);

        const std::string copy = dir.file("ddrescued" + n);
        ASSERT_EQ(evtest::shell("ddrescue -q " + file + " " + copy + " " + copy + ".map", &out), 0) << out;
        EXPECT_TRUE(file_bytes(copy) == want);
        ds::Mapfile map;
        ASSERT_TRUE(ds::read_mapfile(copy + ".map", map, error)) << error;
        EXPECT_EQ(map.not_finished, export_map.not_finished);
        EXPECT_EQ(map.covered, export_map.covered);
        std::string listed;
        ASSERT_EQ(evtest::shell("ddrescuelog -b512 -l- " + copy + ".map", &listed), 0) << listed;
        EXPECT_EQ(listed, std::to_string(bad_at / 512) + "\n");
        EXPECT_EQ(mount.finish(), 0) << text_of(dir.file("mount.err" + n));
    }
    {
        // Under --rescue the file reads whole, twice, and the range is named
        // once. A disk of its own: faultfs, which serves one request at a
        // time, at times failed the first reads after a mount over it ended.
        evtest::FaultyDisk again(demo().images[0], dir.file("disk2"), {std::to_string(bad) + "+512"});
        ASSERT_TRUE(again.ready()) << "faultfs did not come up";
        const std::string mnt = dir.file("mnt-rescue");
        evtest::ForegroundMount mount({"-d", again.path(), "--rescue"}, mnt, "/vm1/vm1.log", dir.file("rescue.err"));
        ASSERT_TRUE(mount.ready()) << text_of(dir.file("rescue.err"));
        EXPECT_TRUE(read_whole(mnt + "/vm1/vm1.log") == want);
        EXPECT_TRUE(read_whole(mnt + "/vm1/vm1.log") == want);
        EXPECT_EQ(mount.finish(), 3);
        const std::string err = text_of(dir.file("rescue.err"));
        EXPECT_EQ(count_of(err, "unreadable range"), 1u) << err;
        EXPECT_NE(err.find("unreadable range of /vm1/vm1.log: offset " + std::to_string(bad_at) + " length 512"),
                  std::string::npos)
            << err;
    }
}

} // namespace
