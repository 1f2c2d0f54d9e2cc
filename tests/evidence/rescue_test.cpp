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
#include "vmfs/store.h"
#include "vmfs/volume.h"

#include <algorithm>

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


namespace rescue_folder {

// Where byte off of a file or directory lies on the demo's image, through
// its extents (a directory's bytes are in a sub-block).
int64_t image_offset_of(uint32_t id, int64_t off) {
    ds::Datastore store;
    EXPECT_TRUE(dstest::open_images(store, demo()).message.empty());
    ds::File file;
    EXPECT_TRUE(store.open_file({id, -1}, file));
    for (const ds::Extent& e : store.extents(file))
        if (off >= e.offset && off < e.offset + e.length && e.lv_offset >= 0) {
            ds::LvmPlace place;
            EXPECT_TRUE(ds::lvm_locate(ds::internals(store), e.lv_offset + (off - e.offset), place));
            return place.device_offset;
        }
    ADD_FAILURE() << "no place for byte " << off;
    return -1;
}

// The names /vm1 lists when the image sector at bad cannot be read, with
// listings passing over it, and the names lost.
struct Survivors {
    std::vector<std::string> kept, lost;
};
Survivors vm1_names_around(int64_t bad) {
    const ds::Node vm1{object(demo(), "/vm1").id, -1};
    std::vector<std::string> all;
    {
        ds::Datastore healthy_store;
        EXPECT_TRUE(dstest::open_images(healthy_store, demo()).message.empty());
        ds::DirLister healthy = healthy_store.list(vm1);
        for (ds::ListedEntry e; healthy.next(e);) all.push_back(e.raw_name);
    }
    ds::MemorySource mem;
    mem.disks[demo().images[0]] = file_bytes(demo().images[0]);
    mem.bad = {{bad / 512 * 512, 512}};
    ds::Datastore store{mem};
    EXPECT_TRUE(dstest::open_images(store, demo()).message.empty());
    store.set_list_rescue(true);
    Survivors s;
    ds::DirLister lister = store.list(vm1);
    for (ds::ListedEntry e; lister.next(e);) s.kept.push_back(e.raw_name);
    for (const std::string& name : all)
        if (std::find(s.kept.begin(), s.kept.end(), name) == s.kept.end()) s.lost.push_back(name);
    return s;
}

nlohmann::json manifest_item(const nlohmann::json& manifest, const std::string& host_path) {
    for (const nlohmann::json& it : manifest["items"])
        if (it["host_path"] == host_path) return it;
    ADD_FAILURE() << "no item " << host_path;
    return {};
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) out.push_back(fs::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace rescue_folder

TEST_F(RescueCli, AFolderCopyGivesEveryReadableByteAndItsManifestNamesTheZeros) {
    using namespace rescue_folder;
    // Without --rescue the file with the bad sector stays partial: exit 1.
    const std::string plain = dir.file("plain");
    RunResult p = run_cli(args({"export", "-r", "/vm1", plain}));
    EXPECT_EQ(p.exit_code, 1) << p.err;
    EXPECT_EQ(manifest_item(nlohmann::json::parse(file_bytes(plain + ".manifest.json")), "vm1.log.partial")["status"],
              "partial");

    const std::string dest = dir.file("vm1");
    RunResult r = run_cli(args({"--rescue", "export", "-r", "/vm1", dest}));
    ASSERT_EQ(r.exit_code, 3) << r.err;
    EXPECT_TRUE(file_bytes(dest + "/vm1.log") == expected_with_zeros({{bad_file_offset, 512}}));
    const nlohmann::json m = nlohmann::json::parse(file_bytes(dest + ".manifest.json"));
    const nlohmann::json log = manifest_item(m, "vm1.log");
    EXPECT_EQ(log["status"], "partly unreadable");
    EXPECT_EQ(log["unreadable"], nlohmann::json::parse("[[" + std::to_string(bad_file_offset) + ",512]]"));
    EXPECT_EQ(log["sha256"], evtest::sha256_of_file(dest + "/vm1.log"));
    EXPECT_EQ(log["sha256_of"], "the bytes written, unreadable bytes as zeros");
    const nlohmann::json vmx = manifest_item(m, "vm1.vmx");
    EXPECT_EQ(vmx["status"], "ok");
    EXPECT_EQ(vmx["unreadable"], nlohmann::json::array());
    EXPECT_EQ(m["unreadable_bytes"], 512);
    EXPECT_EQ(m["unreadable_items"], 1);
    EXPECT_EQ(m["failures"], 0);
    EXPECT_EQ(m["complete"], true);
    // Nothing is put into the copy beside the files: the same names as the
    // datastore's folder, no map, no partial file.
    std::vector<std::string> plain_names = names_in(plain);
    std::replace(plain_names.begin(), plain_names.end(), std::string("vm1.log.partial"), std::string("vm1.log"));
    std::sort(plain_names.begin(), plain_names.end());
    EXPECT_EQ(names_in(dest), plain_names);
    EXPECT_NE(r.err.find("unreadable: vm1.log: 512 bytes in 1 ranges could not be read and are zeros"), std::string::npos)
        << r.err;
}

TEST_F(RescueCli, AnUnreadableDirectorySectorCostsOnlyItsEntriesInEveryCommand) {
    using namespace rescue_folder;
    // A sector of /vm1's listing: the entries on it are lost, the rest not.
    const uint32_t vm1 = object(demo(), "/vm1").id;
    const int64_t bad = image_offset_of(vm1, 300);
    map = ddrescuelog_map(dir.file("dir.map"), bad / 512 * 512);
    const Survivors names = vm1_names_around(bad);
    ASSERT_FALSE(names.lost.empty());
    ASSERT_FALSE(names.kept.empty());
    const std::string kept = names.kept.back(), lost = names.lost.front();

    struct Case {
        std::vector<std::string> command;
        std::string shows, hides;   // a line of stdout naming a kept entry, and one naming a lost one
    };
    const std::vector<Case> cases = {
        {{"ls", "/vm1"}, "\t" + kept, "\t" + lost},
        {{"tree", "/"}, "/vm1/" + kept, "/vm1/" + lost},
        {{"timeline", "/"}, "|/vm1/" + kept + "|", "|/vm1/" + lost + "|"},
        {{"stat", "/vm1/" + kept}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command[0]);
        // Without --rescue: as before, the listing ends at the bad sector.
        RunResult plain = run_cli(args(c.command));
        EXPECT_EQ(plain.exit_code, 1) << plain.err;
        RunResult r = run_cli(args([&] {
            std::vector<std::string> a{"--rescue"};
            a.insert(a.end(), c.command.begin(), c.command.end());
            return a;
        }()));
        EXPECT_EQ(r.exit_code, 3) << r.err;
        if (!c.shows.empty()) {
            EXPECT_NE(r.out.find(c.shows), std::string::npos) << r.out;
        }
        if (!c.hides.empty()) {
            EXPECT_EQ(r.out.find(c.hides), std::string::npos) << r.out;
        }
        const std::vector<std::string> lines = r.err_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind("skipped as unreadable: 1 (", 0), 0u) << r.err;
        EXPECT_NE(lines.back().find("/vm1"), std::string::npos) << r.err;
    }

    // The folder copy: the other entries are copied, the manifest records
    // what the listing lost.
    const std::string dest = dir.file("vm1");
    RunResult r = run_cli(args({"--rescue", "export", "-r", "/vm1", dest}));
    ASSERT_EQ(r.exit_code, 3) << r.err;
    EXPECT_TRUE(fs::exists(dest + "/" + kept));
    EXPECT_FALSE(fs::exists(dest + "/" + lost));
    const nlohmann::json m = nlohmann::json::parse(file_bytes(dest + ".manifest.json"));
    const nlohmann::json top = manifest_item(m, ".");
    EXPECT_EQ(top["status"], "partly unreadable");
    ASSERT_EQ(top["unreadable"].size(), 1u);
    const int64_t from = top["unreadable"][0][0], length = top["unreadable"][0][1];
    const int64_t sector_in_dir = 300 - bad % 512;
    EXPECT_EQ(from, std::max<int64_t>(sector_in_dir, 0) / 140 * 140);
    EXPECT_EQ(from + length, (sector_in_dir + 512 + 139) / 140 * 140);
    EXPECT_EQ(top["skipped_entries"], length / 140);
    EXPECT_EQ(m["skipped_entries"], length / 140);
    EXPECT_EQ(m["failures"], 0);
}

} // namespace
