// Lost virtual disks rebuilt whole: ext4 guests on deleted disks of several
// pointer blocks, interleaved with each other, beside live files.
#include "recovery/disk_rebuild.h"
#include "recovery/guest_witness.h"
#include "recovery/live_blocks.h"
#include "recovery/lost_vmdks.h"
#include "export/file_export.h"
#include "vmfs/blockid.h"
#include "vmfs/store.h"
#include "recovery_images.h"
#include "builder/le.h"
#include "builder/lost_disks.h"

#include <cstring>
#include <fstream>
#include <set>

namespace {

using dsb::SysFile;
using dsb::layout::kMiB;

// Runs a shell command line; its exit status.
int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

class LostVms : public dstest::WithDatastore {
protected:
    static inline std::unique_ptr<dstest::TempDir> dir;
    static inline std::unique_ptr<dsb::LostVmSummary> sum;

    static void SetUpTestSuite() {
        if (!dsb::have_mkfs_ext4()) return;
        dir = std::make_unique<dstest::TempDir>();
        sum = std::make_unique<dsb::LostVmSummary>(dsb::build_lost_vms(dir->path().string()));
    }
    static void TearDownTestSuite() {
        sum.reset();
        dir.reset();
    }
    void SetUp() override {
        if (!sum) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed: no ext4 guests to rebuild";
        new_store(counting);
        ASSERT_TRUE(rectest::open_images(store, sum->images, sum->start_sector));
    }
    void TearDown() override {
        new_store();   // the reader closes its source's files first
        WithDatastore::TearDown();
    }

    rectest::CountingSource counting;

    rectest::LostDisks lost;
    std::vector<ds::PartitionRow>& rows = lost.rows;
    std::vector<ds::PointerBlockCandidate>& candidates = lost.candidates;
    std::vector<ds::RebuiltDisk> rebuild() { return lost.rebuild(store); }
    std::string exported(const ds::RebuiltDisk& d, const std::string& name) {
        return rectest::export_rebuilt(store, d, dir->file(name));
    }
};

TEST_F(LostVms, TheScanKeepsItsRowsAndGathersOnlyFreePointerBlocksOfFileBlocks) {
    rebuild();
    ASSERT_EQ(rows.size(), 3u);   // the live disk's boot record is behind an allocated pointer block
    for (size_t d = 0; d < 3; ++d) EXPECT_EQ(rows[d].pointer_block, sum->disks[d].pointer_blocks[0]);
    std::set<uint32_t> gathered;
    for (const ds::PointerBlockCandidate& c : candidates) gathered.insert(c.pointer_block);
    for (const dsb::LostVmDisk& d : sum->disks)
        for (uint32_t pb : d.pointer_blocks)
            if (pb) {
                EXPECT_TRUE(gathered.count(pb)) << pb;
            }
    for (const dsb::ObjectExpect& o : sum->objects)
        for (uint32_t pb : o.pointer_ids) EXPECT_FALSE(gathered.count(pb)) << o.path;
    // Without the list the scan's rows are the same.
    EXPECT_EQ(store.scan_lost_disks({}).rows.size(), 3u);
}

TEST_F(LostVms, InterleavedThickAndThinExt4GuestsComeBackByteForByte) {
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    ASSERT_EQ(disks.size(), 3u);
    for (size_t d = 0; d < 2; ++d) {
        const dsb::LostVmDisk& want = sum->disks[d];
        const ds::RebuiltDisk& got = disks[d];
        EXPECT_EQ(got.length, static_cast<int64_t>(want.size));
        ASSERT_EQ(got.pieces.size(), want.pointer_blocks.size());
        std::string how;
        for (size_t s = 0; s < got.pieces.size(); ++s) {
            EXPECT_EQ(got.pieces[s].pointer_block, want.pointer_blocks[s]) << "disk " << d << " position " << s;
            how += std::string(" ") + ds::piece_evidence_text(got.pieces[s].evidence);
        }
        std::cout << "[ evidence ] disk " << char('A' + d) << (want.thin ? " thin:" : " thick:") << how << "\n";
        EXPECT_GE(got.count(ds::PieceEvidence::guest), 2);   // groups 1 and 3 hold superblock backups
        EXPECT_TRUE(rectest::same_file(exported(got, "rebuilt" + std::to_string(d)), want.original)) << "disk " << d;
    }
    // Both guest kinds and both weaker kinds of evidence were needed.
    EXPECT_GE(disks[0].count(ds::PieceEvidence::contiguity) + disks[1].count(ds::PieceEvidence::contiguity), 1);
    EXPECT_GE(disks[0].count(ds::PieceEvidence::neighbours) + disks[1].count(ds::PieceEvidence::neighbours), 1);
}

TEST_F(LostVms, TheRebuildLooksAtAFewSectorsOfEachCandidateNotAChunk) {
    const ds::ScanResult<ds::PartitionRow> r = store.scan_lost_disks({}, {}, candidates);
    ASSERT_EQ(r.rows.size(), 3u);
    ds::internals(store).disk.reset();
    counting.reads.clear();
    const std::vector<ds::RebuiltDisk> disks = store.rebuild_lost_disks(r.rows, candidates);
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_GE(disks[0].count(ds::PieceEvidence::guest), 2);
    // Whole chunks only for ".fdc.sf" and ".pbc.sf" (once for the blocks of
    // live files, then per disk); what the guests' witnesses are checked
    // against is a kibibyte at each candidate.
    const ds::Store& st = ds::internals(store);
    const int64_t system_chunks = (st.fs.fdc.inode.size + st.fs.pbc.inode.size) / ds::kChunkSize + 2;
    int64_t long_reads = 0, looks = 0;
    for (const rectest::CountingSource::Read& read : counting.reads) {
        if (read.len > ds::kWitnessBytes) ++long_reads;
        else ++looks;
    }
    EXPECT_GT(looks, static_cast<int64_t>(candidates.size()));
    EXPECT_LE(long_reads, 2 * system_chunks);
}

TEST_F(LostVms, TheGuestFileSystemChecksCleanAndGivesBackItsFiles) {
    if (sh("command -v e2fsck") != 0 || sh("command -v debugfs") != 0)
        GTEST_SKIP() << "e2fsck or debugfs (e2fsprogs) is not installed";
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    for (size_t d = 0; d < 2; ++d) {
        const std::string disk = exported(disks[d], "guest" + std::to_string(d));
        const std::string part = disk + ".part";
        ASSERT_EQ(sh("dd if=" + disk + " of=" + part + " bs=1M skip=1 conv=sparse"), 0);
        EXPECT_EQ(sh("e2fsck -fn " + part), 0) << "disk " << d;
        const std::string out = dir->file("dumped" + std::to_string(d));
        std::filesystem::remove(out);
        ASSERT_EQ(sh("debugfs -R 'dump /data/pattern.bin " + out + "' " + part), 0);
        const dsb::GuestFile& f = sum->disks[d].guest_files[2];
        ASSERT_EQ(f.path, "data/pattern.bin");
        EXPECT_EQ(dstest::read_at(out, 0, f.bytes.size() + 1), f.bytes) << "disk " << d;
    }
}

TEST_F(LostVms, BlocksALiveFileTookOverLeaveAHoleThatSaysSoNeverTheirBytes) {
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    const ds::RebuiltDisk& c = disks.at(2);
    ASSERT_EQ(c.pieces.size(), 2u);
    EXPECT_EQ(c.pieces[0].evidence, ds::PieceEvidence::first);
    EXPECT_EQ(c.pieces[1].pointer_block, 0u);
    EXPECT_EQ(c.pieces[1].evidence, ds::PieceEvidence::live_blocks);
    const std::string path = exported(c, "rebuiltC");
    EXPECT_EQ(dstest::read_at(path, 0, sum->piece_bytes), dstest::read_at(sum->disks[2].original, 0, sum->piece_bytes));
    const std::vector<uint8_t> tail = dstest::read_at(path, sum->piece_bytes, static_cast<uint64_t>(c.length) - sum->piece_bytes);
    EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(LostVms, NoRebuiltDiskHoldsABlockOfAnotherFile) {
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    std::set<uint32_t> live;
    for (const dsb::ObjectExpect& o : sum->objects) live.insert(o.data_ids.begin(), o.data_ids.end());
    ds::Store& st = store.internals();
    for (size_t d = 0; d < disks.size(); ++d) {
        const std::set<uint32_t> own(sum->disks[d].file_blocks.begin(), sum->disks[d].file_blocks.end());
        for (const ds::RebuiltPiece& p : disks[d].pieces) {
            if (!p.pointer_block) continue;
            std::vector<uint8_t> ids(static_cast<size_t>(st.fs.pbc.header.item_size));
            ASSERT_TRUE(ds::bitmap_read_item(st, st.fs.pbc, ds::pb_entry(p.pointer_block), ds::pb_item(p.pointer_block), ids));
            for (size_t r = 0; r < ids.size(); r += 4) {
                const uint32_t id = dsb::get_le<uint32_t>(ids, r);
                if (!id) continue;
                EXPECT_TRUE(own.count(id)) << "disk " << d << " holds block " << id;
                EXPECT_FALSE(live.count(id)) << "disk " << d << " holds live block " << id;
            }
        }
    }
    // And the live-owned set knows every block of the live files.
    const ds::LiveBlocks owned = ds::LiveBlocks::of(st);
    for (uint32_t id : live)
        if ((id & 7u) == 1u) {
            EXPECT_TRUE(owned.owns_file_block(id)) << id;
        }
}

// A small datastore whose lost disk's second position two pointer blocks
// continue equally, and whose third position nothing fits.
class Ambiguous : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

TEST_F(Ambiguous, TwoEqualFitsAndNoFitBothStayHolesAndSaySo) {
    dsb::DatastoreOptions o;
    o.path = dir.file("amb.img");
    o.pbc.item_size = 4 * 8;   // 8 MiB a pointer block
    dsb::ImageBuilder ds(o);
    ds.add_file("/live.bin", dsb::generated_file(3 * kMiB, dsb::pattern_content(3), dsb::Storage::FileBlocks));
    std::vector<uint32_t> blocks;
    for (int i = 0; i < 16; ++i) blocks.push_back(ds.unused(SysFile::Fbb));
    // 24 MiB of partitions: three positions.
    ds.write_item(blocks[0], 0, dsb::make_mbr({0x33, 0xC0, 0x8E}, {{0x07, 2048, 24 * 2048 - 2048, true}}));
    auto pointer = [&](size_t from) {
        std::vector<uint8_t> ids(32, 0);
        for (size_t r = 0; r < 8; ++r) dsb::put_le<uint32_t>(ids, 4 * r, blocks[from + r]);
        const uint32_t pb = ds.unused(SysFile::Pbc);
        ds.write_item(pb, 0, ids);
        return pb;
    };
    const uint32_t first = pointer(0);
    pointer(8);
    pointer(8);   // a second copy: equally good
    ds.finish();
    ASSERT_TRUE(rectest::open_datastore(store, ds));
    std::vector<ds::PointerBlockCandidate> candidates;
    const ds::ScanResult<ds::PartitionRow> r = store.scan_lost_disks({}, {}, candidates);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(candidates.size(), 3u);
    const ds::RebuiltDisk d = store.rebuild_lost_disks(r.rows, candidates).at(0);
    ASSERT_EQ(d.pieces.size(), 3u);
    EXPECT_EQ(d.pieces[0].pointer_block, first);
    EXPECT_EQ(d.pieces[1].evidence, ds::PieceEvidence::ambiguous);
    EXPECT_EQ(d.pieces[1].pointer_block, 0u);
    EXPECT_NE(d.pieces[1].detail.find("2 pointer blocks"), std::string::npos) << d.pieces[1].detail;
    EXPECT_EQ(d.pieces[2].evidence, ds::PieceEvidence::none);
    EXPECT_EQ(d.placed(), 1);
}

TEST(GuestWitness, GptBackupHeaderIsKnownByItsCrcAndDiskGuid) {
    EXPECT_EQ(ds::crc32_ieee(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
    // A disk of 4096 sectors: protective MBR, primary header at LBA 1.
    std::vector<uint8_t> disk(4096 * 512, 0);
    const std::vector<uint8_t> mbr = dsb::make_mbr({0x33, 0xC0, 0x8E}, {{0xEE, 1, 4095, false}});
    std::copy(mbr.begin(), mbr.end(), disk.begin());
    auto header = [&](uint64_t lba, uint64_t mine, uint64_t other) {
        uint8_t* h = disk.data() + lba * 512;
        std::memcpy(h, "EFI PART", 8);
        dsb::put_le<uint32_t>(std::span<uint8_t>(h, 512), 0x0C, 92);
        dsb::put_le<uint64_t>(std::span<uint8_t>(h, 512), 0x18, mine);
        dsb::put_le<uint64_t>(std::span<uint8_t>(h, 512), 0x20, other);
        for (int i = 0; i < 16; ++i) h[0x38 + i] = static_cast<uint8_t>(0xA0 + i);
        dsb::put_le<uint32_t>(std::span<uint8_t>(h, 512), 0x10, ds::crc32_ieee(h, 92));
    };
    header(1, 1, 4095);
    header(4095, 4095, 1);
    const ds::GuestReader read = [&](int64_t off, uint8_t* out, int64_t len) {
        if (off < 0 || off + len > static_cast<int64_t>(disk.size())) return false;
        std::copy(disk.begin() + off, disk.begin() + off + len, out);
        return true;
    };
    const ds::GuestLayout g = ds::read_guest_layout(read, static_cast<int64_t>(disk.size()));
    EXPECT_EQ(g.length, 4096 * 512);
    ASSERT_EQ(g.witnesses.size(), 1u);
    EXPECT_EQ(g.witnesses[0].offset, 4095 * 512);
    EXPECT_TRUE(ds::witness_holds(g.witnesses[0], disk.data() + 4095 * 512));
    disk[4095 * 512 + 0x40] ^= 1;   // a byte of the GUID: the CRC no longer holds
    EXPECT_FALSE(ds::witness_holds(g.witnesses[0], disk.data() + 4095 * 512));
    EXPECT_FALSE(ds::witness_holds(g.witnesses[0], disk.data() + 512));   // the primary names LBA 1
}

} // namespace
