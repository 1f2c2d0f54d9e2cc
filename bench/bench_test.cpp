// The bench's own tools: if these are wrong, every figure is.

#include "manifest.h"
#include "measure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace {

using namespace dsbench;
namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "dsbench-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(BenchExtents, AdjacentStretchesOfOneImageJoinOthersStayApart) {
    std::vector<Extent> e;
    append_extent(e, {"a", 100, 50});
    append_extent(e, {"a", 150, 50});    // continues: joined
    append_extent(e, {"a", 300, 10});    // gap
    append_extent(e, {"b", 310, 10});    // other image at the next offset
    append_extent(e, {"b", 400, 0});     // empty: ignored
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].length, 100u);
    EXPECT_EQ(e[1].image_offset, 300u);
    EXPECT_EQ(e[2].image, "b");
}

Manifest sample() {
    Manifest m;
    m.pointer = {{{"/x/bench.img"}, 2048}, 9, 3000, 1048576, "1 MiB blocks, 3 pointer blocks", {{"/x/bench.img", 10, 3000}}};
    m.multi = {{{"/x/m0 with space.img", "/x/m1.img"}, 4096}, 12, 300, 8388608, "8 MiB", {{"/x/m0 with space.img", 5, 100},
                                                                                         {"/x/m1.img", 7, 200}}};
    // A hole is an extent without an image: dd skips it, the export writes none.
    m.holes = {{{"/x/holes.img"}, 2048}, 14, 3000, 1048576, "half holes", {{"/x/holes.img", 20, 1000}, {"", 0, 1000},
                                                                          {"/x/holes.img", 1020, 1000}}};
    m.bench = {{"/x/bench.img"}, 2048};
    m.fdc_slots = 100352;
    m.deleted_files = 2000;
    m.big_dir = 0x4c4;
    m.big_dir_entries = 10000;
    m.format = {{"/x/format/bench.img"}, 2048};
    m.format_candidates = 200;
    m.format_free_subblocks = 2123;
    m.format_found = 200;
    m.format_digest = 0xfedcba9876543210ull;
    return m;
}

TEST(BenchManifest, RoundTripsAndRefusesWhatCannotBeMeasured) {
    TempDir dir;
    const std::string path = dir.file("bench.manifest");
    write_manifest(path, sample());
    Manifest m = read_manifest(path);
    EXPECT_EQ(m.multi.volume.images, sample().multi.volume.images);
    EXPECT_EQ(m.multi.volume.start_sector, 4096);
    ASSERT_EQ(m.multi.extents.size(), 2u);
    EXPECT_EQ(m.multi.extents[1].image_offset, 7u);
    EXPECT_EQ(m.pointer.layout, "1 MiB blocks, 3 pointer blocks");
    EXPECT_EQ(m.format_digest, 0xfedcba9876543210ull);
    EXPECT_EQ(m.big_dir, 0x4c4u);
    EXPECT_EQ(m.deleted_files, 2000u);
    ASSERT_EQ(m.holes.extents.size(), 3u);
    EXPECT_TRUE(m.holes.extents[1].image.empty());
    EXPECT_EQ(m.holes.extents[2].image_offset, 1020u);

    // Extents that do not add up to the file would make dd copy other bytes.
    Manifest short_extents = sample();
    short_extents.pointer.extents[0].length = 2999;
    write_manifest(path, short_extents);
    EXPECT_THROW(read_manifest(path), std::runtime_error);

    write_file(path, "pointer.image\t/x\n");
    EXPECT_THROW(read_manifest(path), std::runtime_error);
    EXPECT_THROW(read_manifest(dir.file("missing")), std::runtime_error);
}

TEST(BenchManifest, DigestDependsOnOrderAndEveryField) {
    auto digest = [](std::initializer_list<std::array<int64_t, 3>> rows) {
        FoundDigest d;
        for (const auto& r : rows) d.add(r[0], static_cast<uint64_t>(r[1]), r[2]);
        return d.value();
    };
    const uint64_t base = digest({{1, 100, -1}, {2, 200, 66}});
    EXPECT_EQ(base, digest({{1, 100, -1}, {2, 200, 66}}));
    EXPECT_NE(base, digest({{2, 200, 66}, {1, 100, -1}}));
    EXPECT_NE(base, digest({{1, 100, -1}, {2, 200, 67}}));
    EXPECT_NE(base, digest({{1, 100, -1}}));
}

TEST(BenchChild, ReturnsFieldsAndItsOwnPeakResidentSize) {
    ChildOutcome big = run_child([] {
        std::vector<char> touched(96 << 20, 1);
        return Fields{{"middle", std::to_string(touched[touched.size() / 2])}};
    });
    ASSERT_TRUE(big.ok) << big.error;
    EXPECT_EQ(big.fields["middle"], "1");
    EXPECT_GE(big.peak_rss_mib, 96.0);

    // A later, small child must not inherit the earlier child's peak.
    // Values of several lines (one extent a line) arrive whole.
    const std::string lines = "a.img\t10\t20\nb.img\t30\t40\n\\n";
    ChildOutcome small = run_child([&] { return Fields{{"answer", "42"}, {"extents", lines}}; });
    ASSERT_TRUE(small.ok) << small.error;
    EXPECT_EQ(small.fields["answer"], "42");
    EXPECT_EQ(small.fields["extents"], lines);
    EXPECT_LT(small.peak_rss_mib, 64.0);
}

TEST(BenchChild, FailuresAreReportedNotThrown) {
    ChildOutcome thrown = run_child([]() -> Fields { throw std::runtime_error("export failed after 5 bytes"); });
    EXPECT_FALSE(thrown.ok);
    EXPECT_EQ(thrown.error, "export failed after 5 bytes");

    ChildOutcome crashed = run_child([]() -> Fields { std::abort(); });
    EXPECT_FALSE(crashed.ok);
    EXPECT_FALSE(crashed.error.empty());

    ChildOutcome flagged = run_child([] { return Fields{{"error", "scan ended"}}; });
    EXPECT_FALSE(flagged.ok);
    EXPECT_EQ(flagged.error, "scan ended");

    EXPECT_TRUE(run_process({"true"}).ok);
    EXPECT_FALSE(run_process({"false"}).ok);
    EXPECT_FALSE(run_process({"/nonexistent/program"}).ok);
}

TEST(BenchTools, CountingSourceCountsEveryReadAndPassesTheBytes) {
    TempDir dir;
    write_file(dir.file("img"), std::string(4096, 'x') + std::string(4096, 'y'));
    CountingSource c;
    uint8_t buf[512];
    ASSERT_TRUE(c.read(dir.file("img"), 4096, 512, buf));
    EXPECT_EQ(buf[0], 'y');
    EXPECT_FALSE(c.read(dir.file("img"), 8000, 512, buf));   // short: still a read that reached the disk
    EXPECT_EQ(c.reads, 2);
    EXPECT_EQ(c.bytes, 1024);
    EXPECT_EQ(c.size(dir.file("img")), 8192);
    c.close_all();
}

TEST(BenchTools, ReadsTouchingABadRangeFailOnThatDeviceOnlyAndStillCount) {
    TempDir dir;
    write_file(dir.file("a"), std::string(8192, 'a'));
    write_file(dir.file("b"), std::string(8192, 'b'));
    CountingSource c;
    // Two on a, one on b, sorted as the source wants them.
    c.bad = {{dir.file("b"), 0, 512}, {dir.file("a"), 4096, 1024}, {dir.file("a"), 1024, 512}};
    std::sort(c.bad.begin(), c.bad.end(), [](const auto& x, const auto& y) {
        return x.device != y.device ? x.device < y.device : x.off < y.off;
    });
    uint8_t buf[4096];
    EXPECT_TRUE(c.read(dir.file("a"), 0, 1024, buf));      // ends where the first bad range begins
    EXPECT_FALSE(c.read(dir.file("a"), 1535, 1, buf));     // its last byte
    EXPECT_TRUE(c.read(dir.file("a"), 1536, 2560, buf));   // between the two
    EXPECT_FALSE(c.read(dir.file("a"), 3072, 4096, buf));  // covers the second whole
    EXPECT_FALSE(c.read(dir.file("a"), 5119, 1, buf));
    EXPECT_TRUE(c.read(dir.file("a"), 5120, 3072, buf));   // past every bad range of a
    EXPECT_TRUE(c.read(dir.file("b"), 512, 1024, buf));    // b's bad range is b's own
    EXPECT_FALSE(c.read(dir.file("b"), 0, 4096, buf));
    EXPECT_EQ(c.reads, 8);
    c.close_all();
}

TEST(BenchTools, DistinctBytesCountEachByteOnceWhateverTheReadOrder) {
    TempDir dir;
    write_file(dir.file("a"), std::string(8192, 'a'));
    write_file(dir.file("b"), std::string(8192, 'b'));
    CountingSource c;
    uint8_t buf[4096];
    ASSERT_TRUE(c.read(dir.file("a"), 1024, 1024, buf));
    ASSERT_TRUE(c.read(dir.file("b"), 1024, 1024, buf));   // the same offsets on another device count
    ASSERT_TRUE(c.read(dir.file("a"), 0, 4096, buf));      // covers the first read
    ASSERT_TRUE(c.read(dir.file("a"), 3072, 2048, buf));   // overlaps the end of the last one
    ASSERT_TRUE(c.read(dir.file("a"), 6144, 512, buf));    // apart
    EXPECT_EQ(c.bytes, 1024 + 1024 + 4096 + 2048 + 512);
    EXPECT_EQ(c.distinct_bytes(), 1024 + 5120 + 512);
    c.clear();
    EXPECT_EQ(c.reads, 0);
    EXPECT_EQ(c.bytes, 0);
    EXPECT_EQ(c.distinct_bytes(), 0);
    c.close_all();
}

TEST(BenchTools, ExportedFileIsCheckedAgainstEveryExtentAndItsLength) {
    TempDir dir;
    std::string a((1 << 20) + 300, 'a'), b(5000, 'b');
    a.replace(100, 3, "xyz");
    write_file(dir.file("m0"), a);
    write_file(dir.file("m1"), b);
    // Past the first 50 bytes of m0 (more than one 1 MiB buffer), then 4000 bytes of m1.
    const std::vector<Extent> extents{{dir.file("m0"), 50, a.size() - 50}, {dir.file("m1"), 1000, 4000}};
    const std::string good = a.substr(50) + b.substr(1000, 4000);
    write_file(dir.file("good"), good);
    EXPECT_TRUE(file_matches_extents(dir.file("good"), extents));

    std::string last = good;
    last.back() = 'c';
    write_file(dir.file("last"), last);
    EXPECT_FALSE(file_matches_extents(dir.file("last"), extents));
    write_file(dir.file("long"), good + "!");
    EXPECT_FALSE(file_matches_extents(dir.file("long"), extents));
    write_file(dir.file("short"), good.substr(0, good.size() - 1));
    EXPECT_FALSE(file_matches_extents(dir.file("short"), extents));
    EXPECT_FALSE(file_matches_extents(dir.file("missing"), extents));
}

} // namespace
