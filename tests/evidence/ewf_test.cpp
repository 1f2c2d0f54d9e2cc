// E01 evidence images: the same datastore read from an E01 set (made with
// ewfacquire from a builder image) gives every command the same output as
// the raw image. The backend is chosen by the file's signature.

#include "evidence_support.h"

#include "disk/ddrescue_map.h"
#include "disk/ewf_source.h"
#include "disk/sector_source.h"
#include "support/open_images.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <span>
#include <fstream>
#include <gtest/gtest.h>
#include <libewf.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;
using clitest::RunResult;
using clitest::run_cli;
using clitest::with_disks;

#define REQUIRE_EWFACQUIRE()                                                                     \
    if (!have_program("ewfacquire")) GTEST_SKIP() << "ewfacquire (Debian's ewf-tools) is not installed"

std::vector<uint8_t> raw_bytes(const std::string& path, int64_t off, int64_t len) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(off);
    std::vector<uint8_t> out(static_cast<size_t>(len));
    in.read(reinterpret_cast<char*>(out.data()), len);
    return out;
}

TEST(EwfSource, ReadsTheMediaOfASplitSetLikeTheRawImage) {
    REQUIRE_EWFACQUIRE();
    const std::string raw = clitest::demo().images.at(0);
    const std::string& e01 = demo_e01();
    ASSERT_FALSE(e01.empty());
    const std::string base = e01.substr(0, e01.size() - 4);
    ASSERT_TRUE(fs::exists(base + ".E02")) << "the set is expected to be split";
    const std::vector<std::string> files = ds::device_files(e01);
    EXPECT_GE(files.size(), 2u);
    EXPECT_EQ(files.at(1), base + ".E02");
    EXPECT_EQ(ds::device_files(raw), std::vector<std::string>{raw});

    const std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
    ds::SectorSource& src = *posix;
    const int64_t size = static_cast<int64_t>(fs::file_size(raw));
    ASSERT_EQ(src.size(e01), size);
    // The volume header, a range over a chunk edge, the data area, and the
    // last bytes of the media.
    for (auto [off, len] : std::vector<std::pair<int64_t, int64_t>>{
             {1048576, 4096}, {(16 << 20) - 100, 300}, {(17 << 20) + 1048576, 1 << 20}, {size - 512, 512}}) {
        std::vector<uint8_t> got(static_cast<size_t>(len));
        ASSERT_TRUE(src.read(e01, off, len, got.data())) << off;
        EXPECT_EQ(got, raw_bytes(raw, off, len)) << off;
    }
    std::vector<uint8_t> past(512);
    EXPECT_FALSE(src.read(e01, size - 256, 512, past.data()));
    src.close_all();
}

// Offset of the first occurrence of pattern in the file, -1 when none.
int64_t find_in_file(const std::string& path, const std::string& pattern) {
    std::ifstream in(path, std::ios::binary);
    std::string window;
    std::vector<char> piece(8 << 20);
    int64_t base = 0;   // file offset of window[0]
    while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
        window.append(piece.data(), static_cast<size_t>(in.gcount()));
        const size_t at = window.find(pattern);
        if (at != std::string::npos) return base + static_cast<int64_t>(at);
        const size_t keep = std::min(window.size(), pattern.size() - 1);
        base += static_cast<int64_t>(window.size() - keep);
        window.erase(0, window.size() - keep);
    }
    return -1;
}

// The outputs of a run with every image path shown as IMG.
std::string normalized(const RunResult& r, const std::vector<std::string>& images) {
    std::string text = "exit " + std::to_string(r.exit_code) + "\n" + r.out + "--\n" + r.err;
    for (const std::string& img : images) text = replace_all(text, img, "IMG");
    return text;
}

void expect_same_outputs(const std::vector<std::string>& raw, const std::vector<std::string>& e01,
                         const std::vector<std::vector<std::string>>& commands) {
    for (const std::vector<std::string>& cmd : commands) {
        std::string shown;
        for (const std::string& a : cmd) shown += a + " ";
        SCOPED_TRACE(shown);
        std::vector<std::string> on_raw = cmd, on_e01 = cmd;
        if (cmd.at(0) == "detect") {
            on_raw.insert(on_raw.end(), raw.begin(), raw.end());
            on_e01.insert(on_e01.end(), e01.begin(), e01.end());
        }
        RunResult a = run_cli(cmd.at(0) == "detect" ? on_raw : with_disks(raw, on_raw));
        RunResult b = run_cli(cmd.at(0) == "detect" ? on_e01 : with_disks(e01, on_e01));
        EXPECT_EQ(a.exit_code, 0) << a.err;
        EXPECT_EQ(normalized(a, raw), normalized(b, e01));
    }
}

TEST(EwfImages, EveryCommandGivesTheSameOutputAsOnTheRawImage) {
    REQUIRE_EWFACQUIRE();
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_FALSE(demo_e01().empty());
    dstest::TempDir out;
    expect_same_outputs(d.images, {demo_e01()},
                        {{"info"},
                         {"ls", "-l", "/vm1"},
                         {"tree", "/"},
                         {"--json", "ls", "/vm2"},
                         {"deleted"},
                         {"formatted", "--tree"},
                         {"vmdk"},
                         {"stat", "/vm2/vm2-thin.vmdk"},
                         {"timeline", "--deleted"},
                         {"detect"},
                         {"export", "--hash", "/vm2/vm2-flat.vmdk", out.file("flat")},
                         {"export", "--hash", "#" + std::to_string(d.deleted_file.id), out.file("gone")}});
    const dsb::ObjectExpect& flat = clitest::object(d, "/vm2/vm2-flat.vmdk");
    EXPECT_EQ(clitest::compare_file(out.file("flat"), flat.content, flat.size), "");

    // A folder export: the same digests, the same manifest but for the paths.
    RunResult a = run_cli(with_disks(d.images, {"export", "-r", "/vm1", out.file("raw-vm1")}));
    RunResult b = run_cli(with_disks({demo_e01()}, {"export", "-r", "/vm1", out.file("e01-vm1")}));
    ASSERT_EQ(a.exit_code, 0) << a.err;
    EXPECT_EQ(replace_all(a.out, out.file("raw-vm1"), "DEST"), replace_all(b.out, out.file("e01-vm1"), "DEST"));
}

TEST(EwfImages, AVolumeOfTwoMembersBothGivenAsEvidence) {
    REQUIRE_EWFACQUIRE();
    const dsb::MultiSummary& m = clitest::multi();
    dstest::TempDir dir;
    std::vector<std::string> e01;
    for (size_t k = 0; k < m.images.size(); ++k) {
        std::string why;
        e01.push_back(make_e01(m.images[k], dir.file("member" + std::to_string(k)), 1 << 20, &why));
        ASSERT_FALSE(e01.back().empty()) << why;
    }
    expect_same_outputs(m.images, e01,
                        {{"info"}, {"tree", "/"}, {"detect"}, {"export", "--hash", m.spanning.path, dir.file("span")}});
    EXPECT_EQ(clitest::compare_file(dir.file("span"), m.spanning.content, m.spanning.size), "");
}

TEST(EwfImages, TheSignatureDecidesNotTheName) {
    REQUIRE_EWFACQUIRE();
    const dsb::DemoSummary& d = clitest::demo();
    dstest::TempDir dir;
    std::string why;
    // One segment, so that it still opens under any name.
    const std::string e01 = make_e01(d.images.at(0), dir.file("whole"), uint64_t{4} << 30, &why);
    ASSERT_FALSE(e01.empty()) << why;
    ASSERT_FALSE(fs::exists(dir.file("whole.E02")));
    fs::rename(e01, dir.file("evidence.img"));
    fs::copy_file(d.images.at(0), dir.file("raw.E01"));
    expect_same_outputs(d.images, {dir.file("evidence.img")}, {{"info"}, {"ls", "/vm1"}});
    expect_same_outputs(d.images, {dir.file("raw.E01")}, {{"info"}, {"ls", "/vm1"}});
}

TEST(EwfImages, AMissingSegmentFailsCleanlyAndNoSegmentIsEverReplaced) {
    REQUIRE_EWFACQUIRE();
    ASSERT_FALSE(demo_e01().empty());
    const std::string base = demo_e01().substr(0, demo_e01().size() - 4);
    const auto e02_size = fs::file_size(base + ".E02");
    const std::string e02_digest = sha256_of_file(base + ".E02");

    // Export onto a later segment of the set being read: refused.
    RunResult onto = run_cli(with_disks({demo_e01()}, {"export", "/vm1/vm1.vmx", base + ".E02"}));
    EXPECT_EQ(onto.exit_code, 1);
    EXPECT_NE(onto.err.find("refusing to replace"), std::string::npos) << onto.err;
    EXPECT_EQ(fs::file_size(base + ".E02"), e02_size);
    EXPECT_EQ(sha256_of_file(base + ".E02"), e02_digest);

    // A set without its second segment.
    dstest::TempDir dir;
    fs::copy_file(demo_e01(), dir.file("cut.E01"));
    for (int k = 3; fs::exists(base + ".E0" + std::to_string(k)); ++k)
        fs::copy_file(base + ".E0" + std::to_string(k), dir.file("cut.E0" + std::to_string(k)));
    RunResult cut = run_cli(with_disks({dir.file("cut.E01")}, {"info"}));
    EXPECT_EQ(cut.exit_code, 1);
    EXPECT_EQ(cut.signal, 0);
    EXPECT_FALSE(cut.err.empty());
}

// One byte of a file's data changed inside the E01 set: ewfverify fails the
// set, and the chunk holding the byte is an unreadable range, not zeros that
// read as data. The bytes of the other chunks still read.
TEST(EwfImages, AChunkWhoseChecksumFailsIsAReadFailure) {
    REQUIRE_EWFACQUIRE();
    const dsb::DemoSummary& d = clitest::demo();
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");
    dstest::TempDir dir;
    std::string why;
    const std::string e01 = make_e01(d.images.at(0), dir.file("bad"), uint64_t{4} << 30, &why);
    ASSERT_FALSE(e01.empty()) << why;

    // The log's bytes are unique in the image (a pattern of their offset):
    // find 64 of them, 40000 bytes into the file, in the set and change one.
    std::string pattern(64, '\0');
    log.content(40000, std::span(reinterpret_cast<uint8_t*>(pattern.data()), pattern.size()));
    const int64_t at = find_in_file(e01, pattern);
    ASSERT_GE(at, 0) << "the chunk is expected to be stored uncompressed";
    {
        std::fstream f(e01, std::ios::binary | std::ios::in | std::ios::out);
        f.seekg(at + 10);
        char c = 0;
        f.get(c);
        f.seekp(at + 10);
        f.put(static_cast<char>(c ^ 0x5A));
        ASSERT_TRUE(f.good());
    }
    EXPECT_NE(shell("ewfverify -q '" + e01 + "' </dev/null"), 0);
    const int64_t damaged = find_in_file(d.images.at(0), pattern) + 10;
    ASSERT_GE(damaged, 10);
    const std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
    std::vector<uint8_t> buf(4096);
    errno = 0;
    EXPECT_FALSE(posix->read(e01, damaged - 100, 200, buf.data()));
    EXPECT_EQ(errno, EIO);
    // Again, now that the chunk is in libewf's cache.
    errno = 0;
    EXPECT_FALSE(posix->read(e01, damaged & ~int64_t{32767}, 1, buf.data()));
    EXPECT_EQ(errno, EIO);
    // The chunks before and after it are whole.
    ASSERT_TRUE(posix->read(e01, (damaged & ~int64_t{32767}) - 4096, 4096, buf.data()));
    EXPECT_EQ(buf, raw_bytes(d.images.at(0), (damaged & ~int64_t{32767}) - 4096, 4096));
    ASSERT_TRUE(posix->read(e01, (damaged & ~int64_t{32767}) + 32768, 4096, buf.data()));
    EXPECT_EQ(buf, raw_bytes(d.images.at(0), (damaged & ~int64_t{32767}) + 32768, 4096));
    posix->close_all();

    // The export fails instead of printing the digest of a file with a hole
    // of zeros; the directory's other files still list.
    RunResult exp = run_cli(with_disks({e01}, {"export", "--hash", "/vm1/vm1.log", dir.file("log")}));
    EXPECT_NE(exp.exit_code, 0) << exp.out;
    EXPECT_EQ(exp.out.find("success"), std::string::npos) << exp.out;
    EXPECT_FALSE(exp.err.empty());
    EXPECT_EQ(run_cli(with_disks({e01}, {"ls", "/vm1"})).exit_code, 0);

    // Under --rescue the chunk's bytes are zeros and the map names exactly
    // them, at their distance from the start of the log.
    const int64_t chunk_in_file = (damaged & ~int64_t{32767}) - (damaged - 10 - 40000);
    RunResult rescued = run_cli(with_disks({e01}, {"--rescue", "export", "/vm1/vm1.log", dir.file("rescued")}));
    ASSERT_EQ(rescued.exit_code, 3) << rescued.err;
    std::vector<uint8_t> want = dstest::expected_bytes(log);
    std::fill(want.begin() + chunk_in_file, want.begin() + chunk_in_file + 32768, 0);
    std::ifstream in(dir.file("rescued"), std::ios::binary);
    EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}) == want);
    ds::Mapfile map;
    std::string error;
    ASSERT_TRUE(ds::read_mapfile(dir.file("rescued") + ".map", map, error)) << error;
    EXPECT_EQ(map.not_finished, (std::vector<ds::ByteSpan>{{chunk_in_file, 32768}}));
}

// Writes base.E01 holding media (whole sectors) and recording errors as the
// sectors (start, count) its acquisition could not read; false when libewf
// refuses any of it.
bool write_e01(const std::string& base, const std::vector<uint8_t>& media,
               const std::vector<std::pair<uint64_t, uint64_t>>& errors, std::string& name) {
    libewf_handle_t* h = nullptr;
    if (libewf_handle_initialize(&h, nullptr) != 1) return false;
    std::string target = base;
    char* names[] = {target.data()};
    bool ok = libewf_handle_open(h, names, 1, LIBEWF_OPEN_WRITE, nullptr) == 1 &&
              libewf_handle_set_media_size(h, media.size(), nullptr) == 1;
    for (const auto& [start, count] : errors)
        ok = ok && libewf_handle_append_acquiry_error(h, start, count, nullptr) == 1;
    ok = ok && libewf_handle_write_buffer(h, media.data(), media.size(), nullptr) ==
                   static_cast<ssize_t>(media.size());
    ok = libewf_handle_close(h, nullptr) == 0 && ok;
    libewf_handle_free(&h, nullptr);
    name = base + ".E01";
    return ok && fs::exists(name);
}

// The image's own list of unread sectors is untrusted: overlapping, empty,
// running past the media or wholly outside it. Each is kept to the media;
// the rest reads.
TEST(EwfImages, RecordedReadErrorsAreClampedToTheMediaAndMerged) {
    dstest::TempDir dir;
    std::vector<uint8_t> media(128 * 512);
    for (size_t i = 0; i < media.size(); ++i) media[i] = static_cast<uint8_t>(i * 7 + i / 512);
    std::string e01;
    ASSERT_TRUE(write_e01(dir.file("hostile"), media,
                          {{120, 1000}, {12, 4}, {10, 4}, {5000, 3}, {40, 0}, {UINT64_MAX / 2, UINT64_MAX / 2}},
                          e01));
    const std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
    ASSERT_EQ(posix->size(e01), static_cast<int64_t>(media.size()));
    std::vector<bool> unread(128, false);
    for (int s = 10; s < 16; ++s) unread[s] = true;
    for (int s = 120; s < 128; ++s) unread[s] = true;
    std::vector<uint8_t> sector(512);
    for (int s = 0; s < 128; ++s) {
        errno = 0;
        const bool ok = posix->read(e01, int64_t{s} * 512, 512, sector.data());
        EXPECT_EQ(ok, !unread[s]) << "sector " << s;
        if (ok) EXPECT_TRUE(std::equal(sector.begin(), sector.end(), media.begin() + s * 512)) << "sector " << s;
        else EXPECT_EQ(errno, EIO) << "sector " << s;
    }
    // A read spanning sound and unread sectors fails as a whole.
    std::vector<uint8_t> span(16 * 512);
    EXPECT_FALSE(posix->read(e01, 0, static_cast<int64_t>(span.size()), span.data()));
    posix->close_all();
}

} // namespace
} // namespace evtest
