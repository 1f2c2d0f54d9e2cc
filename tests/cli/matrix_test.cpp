// The block-size matrix through the command: every block size, partitions at
// 63, 128 and 2048, two members; listing, export in every addressing mode,
// the three scans, a file of a found directory, and detection.

#include "cli_fixture.h"
#include "support/matrix_cells.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace clitest {
namespace {

class CliMatrix : public ::testing::TestWithParam<dstest::MatrixCell> {
protected:
    dstest::TempDir dir;

    static std::vector<std::string> disks(const dsb::MatrixSummary& m, std::vector<std::string> rest) {
        std::vector<std::string> args;
        for (size_t k = 0; k < m.images.size(); ++k) {
            args.push_back("-d");
            args.push_back(m.images[k] + "@" + std::to_string(m.start_sectors[k]));
        }
        args.insert(args.end(), rest.begin(), rest.end());
        return args;
    }
};

TEST_P(CliMatrix, ListsExportsAndRecoversAtEveryBlockSize) {
    const dsb::MatrixSummary m = dsb::build_matrix(dir.path().string(), GetParam().options());

    RunResult info = run_cli(disks(m, {"info"}));
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find("blocksize:" + std::to_string(m.block_size) + "\n"), std::string::npos) << info.out;

    RunResult ls = run_cli(disks(m, {"ls", "/vm"}));
    ASSERT_EQ(ls.exit_code, 0) << ls.err;
    for (const char* name : {"vm.vmx", "vm.log", "vm-flat.vmdk", "thin-direct.vmdk", "thin-pointer.vmdk", "span.bin",
                             "vm.nvram"})
        EXPECT_NE(ls.out.find(name), std::string::npos) << name << "\n" << ls.out;

    int n = 0;
    for (const dsb::ObjectExpect* o : {&m.inline_file, &m.subblock_file, &m.fileblock_file, &m.pointer_file,
                                       &m.thin_direct, &m.thin_pointer, &m.spanning, &m.high_file}) {
        const std::string out = dir.file("out" + std::to_string(n++));
        RunResult r = run_cli(disks(m, {"export", o->path, out}));
        EXPECT_EQ(r.exit_code, 0) << o->path << ": " << r.err;
        EXPECT_EQ(compare_file(out, o->content, o->size), "") << o->path;
    }
    // A descriptor id above 2^31 given by number.
    RunResult by_id = run_cli(disks(m, {"export", "#" + std::to_string(m.high_file.id), dir.file("high")}));
    EXPECT_EQ(by_id.exit_code, 0) << by_id.err;
    EXPECT_EQ(compare_file(dir.file("high"), m.high_file.content, m.high_file.size), "");
}

TEST_P(CliMatrix, ScansAndFoundDirectoriesAtEveryBlockSize) {
    const dsb::MatrixSummary m = dsb::build_matrix(dir.path().string(), GetParam().options());

    RunResult deleted = run_cli(disks(m, {"--json", "deleted"}));
    ASSERT_EQ(deleted.exit_code, 0) << deleted.err;
    const nlohmann::json d = nlohmann::json::parse(deleted.out);
    // The deleted file, and the files of the two old directories.
    ASSERT_EQ(d["rows"].size(), 3u) << deleted.out;
    std::vector<uint32_t> ids;
    for (const auto& row : d["rows"]) ids.push_back(row["id"].get<uint32_t>());
    for (uint32_t id : {m.deleted_file.id, m.file_in_reused.id})
        EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << deleted.out;

    RunResult vmdk = run_cli(disks(m, {"vmdk"}));
    ASSERT_EQ(vmdk.exit_code, 0) << vmdk.err;
    EXPECT_EQ(vmdk.out_lines().size(), 2u) << vmdk.out;
    EXPECT_NE(vmdk.out.find("LINUX"), std::string::npos) << vmdk.out;

    RunResult formatted = run_cli(disks(m, {"formatted"}));
    ASSERT_EQ(formatted.exit_code, 0) << formatted.err;
    std::vector<std::string> want;
    for (const dsb::FoundDir& f : m.found)
        want.push_back("DIR" + std::to_string(f.number) + "\t" + std::to_string(f.dir_id) + "\t" +
                       (f.first_block == -1 ? "-1" : std::to_string(static_cast<uint32_t>(f.first_block))));
    want.push_back("finish");
    EXPECT_EQ(formatted.out_lines(), want);

    // The file is reached only through the substituted first block.
    RunResult r = run_cli(disks(m, {"export", "--formatted", "DIR2/disk.vmdk", dir.file("disk.vmdk")}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(compare_file(dir.file("disk.vmdk"), m.file_in_reused.content, m.file_in_reused.size), "");
}

TEST_P(CliMatrix, DetectGivesEachMemberItsOwnStartSector) {
    const dsb::MatrixSummary m = dsb::build_matrix(dir.path().string(), GetParam().options());
    std::vector<std::string> args = {"detect"};
    args.insert(args.end(), m.images.rbegin(), m.images.rend());
    RunResult r = run_cli(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> lines = r.out_lines();
    const auto at = std::find(lines.begin(), lines.end(), "VM DISKS");
    ASSERT_GE(lines.end() - at, static_cast<long>(m.images.size()) + 1) << r.out;
    std::vector<std::string> disks_part(at + 1, at + 1 + static_cast<long>(m.images.size()));
    std::vector<std::string> want;
    for (size_t k = 0; k < m.images.size(); ++k) want.push_back(m.images[k] + "|" + std::to_string(m.start_sectors[k]) + "|");
    EXPECT_EQ(disks_part, want) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Cells, CliMatrix, ::testing::ValuesIn(dstest::matrix_cells()),
                         [](const auto& info) { return info.param.name(); });

} // namespace
} // namespace clitest

namespace clitest {
namespace {

// The format recovery cannot run without the sub-block file: the command says
// which file the opening did not find and fails, instead of "finish".
TEST(CliMissingSystemFile, FormattedFailsWithTheSubBlockFilesMessage) {
    dstest::TempDir dir;
    make_datastore(dir.file("d.img"), [](dsb::ImageBuilder&) {}, [](dsb::ImageBuilder& ds) {
        const uint8_t x = 'X';
        ds.write_file_bytes(ds.root(), 140 * 5 + 12 + 5, {&x, 1});   // ".sbc.Xf"
    });
    RunResult r = run_cli({"-d", dir.file("d.img"), "formatted"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("sbc open error"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("finish"), std::string::npos) << r.out;
    RunResult e = run_cli({"-d", dir.file("d.img"), "ls", "--formatted", "DIR1"});
    EXPECT_EQ(e.exit_code, 1);
    EXPECT_NE(e.err.find("sbc open error"), std::string::npos) << e.err;
}

} // namespace
} // namespace clitest
