// A disk given without "@SECTOR": the partition table's VMFS partition, the
// usual starts, the hint when nothing is found; and a volume with members
// missing: the warning, the JSON, a read that falls on a missing member.

#include "cli_fixture.h"

#include "recovery/guest_witness.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

void put_le(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void write_at(const std::string& path, int64_t at, const std::vector<uint8_t>& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> mbr(uint8_t type, uint32_t start) {
    std::vector<uint8_t> b(512, 0);
    b[446 + 4] = type;
    put_le(b, 446 + 8, start, 4);
    put_le(b, 446 + 12, 1000000, 4);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

// A protective MBR, a GPT header at LBA 1 and its entries at LBA 2, the
// VMFS partition at start; corrupt spoils the header's CRC.
void write_gpt(const std::string& path, uint32_t start, bool corrupt = false) {
    write_at(path, 0, mbr(0xEE, 1));
    std::vector<uint8_t> entries(128 * 128, 0);
    const uint8_t vmfs[16] = {0x2A, 0xE0, 0x31, 0xAA, 0x0F, 0x40, 0xDB, 0x11,
                              0x95, 0x90, 0x00, 0x0C, 0x29, 0x11, 0xD1, 0xB8};
    const uint8_t other[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                               0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
    std::memcpy(entries.data(), other, 16);   // a Linux partition first
    put_le(entries, 32, 34, 8);
    std::memcpy(entries.data() + 128, vmfs, 16);
    put_le(entries, 128 + 32, start, 8);
    std::vector<uint8_t> h(512, 0);
    std::memcpy(h.data(), "EFI PART", 8);
    put_le(h, 8, 0x00010000, 4);
    put_le(h, 12, 92, 4);
    put_le(h, 72, 2, 8);
    put_le(h, 80, 128, 4);
    put_le(h, 84, 128, 4);
    put_le(h, 88, ds::crc32_ieee(entries.data(), entries.size()), 4);
    put_le(h, 16, ds::crc32_ieee(h.data(), 92) ^ (corrupt ? 1u : 0u), 4);
    write_at(path, 512, h);
    write_at(path, 1024, entries);
}

std::string at_start(const dstest::TempDir& dir, const std::string& name, int64_t start) {
    const std::string img = dir.file(name);
    make_datastore(img, [](dsb::ImageBuilder&) {}, {}, [start](dsb::DatastoreOptions& o) { o.start_sector = start; });
    return img;
}

std::string last_line(const std::string& out) {
    std::string t = out.substr(0, out.size() - 1);
    return t.substr(t.rfind('\n') + 1);
}

TEST(CliStartSector, FoundThroughTheTableOrTheUsualStarts) {
    dstest::TempDir dir;
    auto no_table = [](const std::string& p) { write_at(p, 0, std::vector<uint8_t>(512, 0)); };
    struct Case {
        int64_t start;
        std::function<void(const std::string&)> table;
        std::string from;
    };
    const std::vector<Case> cases = {
        {128, [](const std::string& p) { write_at(p, 0, mbr(0xFB, 128)); }, "MBR"},
        {4096, [](const std::string& p) { write_at(p, 0, mbr(0xFB, 4096)); }, "MBR"},   // no usual start
        {4096, [](const std::string& p) { write_gpt(p, 4096); }, "GPT"},
        {0, {}, "probe"},   // the volume header is past sector 0: the builder's table goes
        {128, no_table, "probe"},
        {2048, no_table, "probe"},
    };
    for (const Case& c : cases) {
        const std::string img = at_start(dir, "s" + std::to_string(c.start) + c.from + ".img", c.start);
        if (c.table) c.table(img);
        const std::string label = img + " " + c.from;
        RunResult r = run_cli({"-d", img, "info"});
        ASSERT_EQ(r.exit_code, 0) << label << r.err;
        EXPECT_EQ(last_line(r.out), "start_sector 1>" + img + ":" + std::to_string(c.start) + " (" + c.from + ")");
        RunResult j = run_cli({"-d", img, "--json", "info"});
        auto doc = nlohmann::json::parse(j.out);
        EXPECT_EQ(doc["members"][0]["start_sector"], c.start) << label;
        EXPECT_EQ(doc["members"][0]["start_from"], c.from) << label;
        EXPECT_EQ(doc["degraded"], false);
    }
    // A GPT whose header fails its CRC is not believed: 4096 is no usual start.
    const std::string bad = at_start(dir, "badgpt.img", 4096);
    write_gpt(bad, 4096, true);
    RunResult r = run_cli({"-d", bad, "info"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "vlm not find\n" + bad +
                         ": no volume header at sector 128, 2048 and 0 (the partition table names no VMFS "
                         "partition); give the start as -d " +
                         bad + "@SECTOR, or look for it with: datumsift detect " + bad + "\n");
}

TEST(CliStartSector, AGivenSectorIsObeyedAndTheHintNamesWhatWasTried) {
    dstest::TempDir dir;
    const std::string img = at_start(dir, "mbr128.img", 128);
    write_at(img, 0, mbr(0xFB, 128));
    // The table says 128, yet a sector given is read as given.
    EXPECT_EQ(run_cli({"-d", img + "@2048", "info"}).err, "vlm not find\n");
    EXPECT_EQ(run_cli({"-d", img + "@128", "info"}).exit_code, 0);
    EXPECT_EQ(last_line(run_cli({"-d", img + "@128", "info"}).out), "start_sector 1>" + img + ":128 (given)");

    // The table names a partition where no header is.
    const std::string wrong = at_start(dir, "wrong.img", 4096);
    write_at(wrong, 0, mbr(0xFB, 6000));
    RunResult r = run_cli({"-d", wrong, "info"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "vlm not find\n" + wrong +
                         ": no volume header at sector 6000, 128, 2048 and 0 (the partition table names a VMFS "
                         "partition at 6000, which holds no volume header); give the start as -d " +
                         wrong + "@SECTOR, or look for it with: datumsift detect " + wrong + "\n");
}

TEST(CliDegraded, MissingMembersWarnMarkTheJsonAndNameTheirReads) {
    const std::string& m0 = multi().images[0];
    RunResult info = run_cli({"-d", m0, "--json", "info"});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    auto doc = nlohmann::json::parse(info.out);
    EXPECT_EQ(doc["degraded"], true);
    const auto seg = multi().segments.at(1);
    EXPECT_EQ(doc["missing"]["first_segment"], seg.first);
    EXPECT_EQ(doc["missing"]["last_segment"], seg.second);
    EXPECT_EQ(doc["missing"]["members"], 1);
    const std::string warning = "warning: the volume is degraded: 1 member(s) not given hold segment" +
                                std::string(seg.first == seg.second ? " " : "s ") + std::to_string(seg.first) +
                                (seg.first == seg.second ? "" : "-" + std::to_string(seg.second));
    EXPECT_EQ(info.err.rfind(warning, 0), 0u) << info.err;
    EXPECT_EQ(run_cli(with_disks(multi().images, {"info"})).err, "");

    dstest::TempDir dir;
    RunResult r = run_cli({"-d", m0, "export", multi().spanning.path, dir.file("out")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("a read of the datastore failed (the bytes lie in segment "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", on a member that was not given)"), std::string::npos) << r.err;
}

} // namespace
} // namespace clitest
