// stat: a descriptor's fields and where its bytes lie, checked against the
// image itself: every data run's logical-volume offset must hold the file's
// bytes, in every addressing mode.

#include "cli_fixture.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

constexpr uint64_t kDataArea = 17 * dsb::layout::kMiB;

std::string utc(uint32_t t, const char* format) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

// Bytes at a logical-volume offset of a one-member datastore, read from the image.
std::vector<uint8_t> lv_bytes(const dsb::ImageSummary& s, uint64_t lv, size_t n) {
    std::ifstream in(s.images.at(0), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(s.start_sector * 512 + kDataArea + lv));
    std::vector<uint8_t> b(n);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    b.resize(static_cast<size_t>(in.gcount()));
    return b;
}

nlohmann::json stat_json(const dsb::ImageSummary& s, const std::string& path) {
    RunResult r = run_cli(with_disks(s.images, {"--json", "stat", path}));
    EXPECT_EQ(r.exit_code, 0) << path << r.err;
    return nlohmann::json::parse(r.out);
}

// The runs cover the file without gaps; data runs hold the file's bytes where
// they say (their first and last bytes are compared), holes are zeros.
void check_extents(const dsb::ImageSummary& s, const dsb::ObjectExpect& o, const nlohmann::json& extents) {
    uint64_t at = 0;
    for (const auto& e : extents) {
        SCOPED_TRACE(e.dump());
        ASSERT_EQ(e["offset"].get<uint64_t>(), at);
        const uint64_t len = e["length"].get<uint64_t>();
        ASSERT_GT(len, 0u);
        const std::string kind = e["kind"];
        if (kind == "data") {
            const uint64_t lv = e["lv_offset"].get<uint64_t>();
            for (uint64_t from : {uint64_t{0}, len - std::min<uint64_t>(len, 4096)}) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(4096, len - from));
                EXPECT_EQ(lv_bytes(s, lv + from, n), dsb::materialize(o.content, at + from, n)) << "at " << at + from;
            }
        } else {
            ASSERT_EQ(kind, "hole");
            EXPECT_TRUE(e["lv_offset"].is_null());
            EXPECT_EQ(e["block_id"], 0);
            EXPECT_EQ(dsb::materialize(o.content, at, static_cast<size_t>(std::min<uint64_t>(len, 1 << 20))),
                      std::vector<uint8_t>(static_cast<size_t>(std::min<uint64_t>(len, 1 << 20)), 0));
        }
        at += len;
    }
    EXPECT_EQ(at, o.size);
}

TEST(CliStat, ExtentsLocateTheBytesInEveryAddressingMode) {
    const dsb::DemoSummary& d = demo();
    for (const char* path : {"/vm1/vm1.nvram", "/vm1/vm1.log", "/vm2/vm2-flat.vmdk", "/vm2/vm2-thin.vmdk", "/vm1"}) {
        SCOPED_TRACE(path);
        const dsb::ObjectExpect& o = object(d, path);
        nlohmann::json j = stat_json(d, path);
        EXPECT_EQ(j["id"], o.id);
        EXPECT_EQ(j["type"], o.type);
        EXPECT_EQ(j["size"], o.size);
        EXPECT_EQ(j["addr_mode"], o.addr_mode);
        EXPECT_EQ(j["created"], utc(o.create_time, "%Y-%m-%dT%H:%M:%SZ"));
        EXPECT_EQ(j["modified"], utc(o.update_time, "%Y-%m-%dT%H:%M:%SZ"));
        EXPECT_EQ(j["accessed"], utc(o.atime, "%Y-%m-%dT%H:%M:%SZ"));
        check_extents(d, o, j["extents"]);
        // The first run starts with the first block of the file.
        ASSERT_FALSE(j["extents"].empty());
        EXPECT_EQ(j["extents"][0]["block_id"], o.data_ids.at(0));
    }

    // Blocks that follow each other on the volume form one run; a thin disk
    // alternates data and holes.
    nlohmann::json log = stat_json(d, "/vm1/vm1.log")["extents"];
    const dsb::ObjectExpect& lo = object(d, "/vm1/vm1.log");
    size_t breaks = 0;
    for (size_t i = 1; i < lo.data_ids.size(); ++i) breaks += lo.data_ids[i] != lo.data_ids[i - 1] + (1u << 6);
    EXPECT_EQ(log.size(), breaks + 1);
    nlohmann::json thin = stat_json(d, "/vm2/vm2-thin.vmdk")["extents"];
    std::vector<std::string> kinds;
    for (const auto& e : thin)
        if (kinds.empty() || kinds.back() != e["kind"]) kinds.push_back(e["kind"]);
    EXPECT_EQ(kinds, (std::vector<std::string>{"data", "hole", "data", "hole"}));
    EXPECT_EQ(thin[0]["length"], d.block_size);
}

TEST(CliStat, TextKeysInlineDataAndDeletedFiles) {
    const dsb::DemoSummary& d = demo();
    const dsb::ObjectExpect& vmx = object(d, "/vm1/vm1.vmx");
    RunResult r = run_cli(with_disks(d.images, {"stat", "/vm1/vm1.vmx"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = r.out_lines();
    ASSERT_EQ(lines.size(), 11u) << r.out;
    EXPECT_EQ(lines[0], "id: " + std::to_string(vmx.id));
    EXPECT_EQ(lines[1], "type: 3 (file)");
    EXPECT_EQ(lines[2], "size: " + std::to_string(vmx.size));
    EXPECT_EQ(lines[5].substr(0, 11), "addr_mode: ");
    EXPECT_EQ(lines[6], "created: " + utc(vmx.create_time, "%Y-%m-%d %H:%M:%S"));
    EXPECT_EQ(lines[7], "modified: " + utc(vmx.update_time, "%Y-%m-%d %H:%M:%S"));
    EXPECT_EQ(lines[8], "accessed: " + utc(vmx.atime, "%Y-%m-%d %H:%M:%S"));
    EXPECT_EQ(lines[9], "extents:");
    EXPECT_EQ(lines[10], "0\t" + std::to_string(vmx.size) + "\t" + std::to_string(vmx.id) + "\tinline");

    // A deleted file by its id; the same fields by name and by id.
    const dsb::ObjectExpect& gone = d.deleted_file;
    nlohmann::json j = stat_json(d, "#" + std::to_string(gone.id));
    EXPECT_EQ(j["size"], gone.size);
    check_extents(d, gone, j["extents"]);
    EXPECT_EQ(run_cli(with_disks(d.images, {"stat", "/vm1/vm1.log"})).out,
              run_cli(with_disks(d.images, {"stat", "#" + std::to_string(object(d, "/vm1/vm1.log").id)})).out);

    RunResult missing = run_cli(with_disks(d.images, {"stat", "/vm1/nothing"}));
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.out, "");
}

TEST(CliStat, AFoundDirectoryShowsTheSubBlockItIsReadFrom) {
    const dsb::FormattedSummary& f = formatted();
    for (const dsb::FoundDir& fd : f.found) {
        if (fd.dir_id != f.reused_dir) continue;
        RunResult r = run_cli(with_disks(f.images, {"--json", "stat", "--formatted", "DIR" + std::to_string(fd.number)}));
        if (r.err.find("not available") != std::string::npos) GTEST_SKIP() << "built without the recovery scans";
        ASSERT_EQ(r.exit_code, 0) << r.err;
        nlohmann::json j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["first_block"], fd.first_block);
        EXPECT_EQ(j["extents"][0]["block_id"], static_cast<uint32_t>(fd.first_block));
        return;
    }
    FAIL() << "no reused directory among the found ones";
}

} // namespace
} // namespace clitest
