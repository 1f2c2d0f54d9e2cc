// Lost disks of other guests rebuilt whole: a thick GPT disk with ext4 (one
// superblock backup overwritten) and a thin NTFS disk, interleaved in
// .pbc.sf and on the volume beside a live disk; checked by the guests' own
// tools where the machine has them.
#include "export/file_export.h"
#include "vmfs/blockid.h"
#include "vmfs/store.h"
#include "recovery_images.h"
#include "builder/le.h"
#include "builder/lost_disks.h"

#include <fstream>
#include <set>

namespace {

using dsb::layout::kMiB;

int sh(const std::string& cmd, std::string* out = nullptr) { return dstest::shell(cmd, out); }

class LostGuests : public dstest::WithDatastore {
protected:
    static inline std::unique_ptr<dstest::TempDir> dir;
    static inline std::unique_ptr<dsb::LostVmSummary> sum;
    static inline std::string missing;

    static void SetUpTestSuite() {
        dir = std::make_unique<dstest::TempDir>();
        try {
            sum = std::make_unique<dsb::LostVmSummary>(dsb::build_lost_guests(dir->path().string()));
        } catch (const std::runtime_error& e) {
            missing = e.what();   // names the tool the machine lacks
        }
    }
    static void TearDownTestSuite() {
        sum.reset();
        dir.reset();
    }
    void SetUp() override {
        if (!sum) GTEST_SKIP() << "no guests to rebuild: " << missing;
        ASSERT_TRUE(rectest::open_images(store, sum->images, sum->start_sector));
    }

    rectest::LostDisks lost;
    std::vector<ds::PartitionRow>& rows = lost.rows;
    std::vector<ds::PointerBlockCandidate>& candidates = lost.candidates;
    std::vector<ds::RebuiltDisk> rebuild() { return lost.rebuild(store); }
    std::string exported(const ds::RebuiltDisk& d, const std::string& name) {
        return rectest::export_rebuilt(store, d, dir->file(name));
    }
    // The partition (from 1 MiB on) of an exported disk, for tools that take no offset.
    std::string partition_of(const std::string& disk) {
        const std::string part = disk + ".part";
        EXPECT_EQ(sh("dd if=" + disk + " of=" + part + " bs=1M skip=1 conv=sparse status=none"), 0);
        return part;
    }
};

const dsb::GuestFile& file_named(const dsb::LostVmDisk& d, const std::string& path) {
    for (const dsb::GuestFile& f : d.guest_files)
        if (f.path == path) return f;
    throw std::runtime_error("no guest file " + path);
}

TEST_F(LostGuests, GptExt4AndNtfsGuestsComeBackByteForByteEachPositionByItsEvidence) {
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    ASSERT_EQ(disks.size(), 2u);   // the live disk's boot record is behind an allocated pointer block
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
        std::cout << "[ evidence ] disk " << (d == 0 ? "GPT+ext4" : "NTFS") << (want.thin ? " thin:" : " thick:") << how
                  << "\n";
        EXPECT_TRUE(rectest::same_file(exported(got, "guest" + std::to_string(d)), want.original)) << "disk " << d;
    }
    // Group 9's superblock backup is gone; the descriptor table copy after
    // it, the same in every backup group, still pins it: no other open
    // position fits it.
    const std::vector<ds::RebuiltPiece>& g = disks[0].pieces;
    ASSERT_EQ(g.size(), 3u);
    EXPECT_EQ(g[1].evidence, ds::PieceEvidence::guest);
    EXPECT_NE(g[1].detail.find("group descriptors (from group 0) after the backup of group 9"), std::string::npos)
        << g[1].detail;
    EXPECT_NE(g[2].detail.find("GPT backup header"), std::string::npos) << g[2].detail;
    const std::vector<ds::RebuiltPiece>& n = disks[1].pieces;
    ASSERT_EQ(n.size(), 3u);
    EXPECT_NE(n[1].detail.find("$MFTMirr"), std::string::npos) << n[1].detail;
    EXPECT_EQ(n[2].detail, "NTFS backup boot sector");
}

TEST_F(LostGuests, TheGuestsOwnToolsReadTheRebuiltDisks) {
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    ASSERT_EQ(disks.size(), 2u);
    const std::string gpt = exported(disks[0], "gpt.raw"), ntfs = exported(disks[1], "ntfs.raw");
    if (dstest::have_program("qemu-img")) {
        std::string out;
        EXPECT_EQ(sh("qemu-img compare -f raw -F raw " + gpt + " " + sum->disks[0].original, &out), 0) << out;
        EXPECT_EQ(sh("qemu-img compare -f raw -F raw " + ntfs + " " + sum->disks[1].original, &out), 0) << out;
        EXPECT_NE(out.find("identical"), std::string::npos) << out;
    } else {
        std::cout << "[ skipped  ] qemu-img (qemu-utils) is not installed: no image comparison\n";
    }
    if (dstest::have_program("e2fsck") && dstest::have_program("debugfs")) {
        const std::string part = partition_of(gpt);
        std::string out;
        EXPECT_EQ(sh("e2fsck -fn " + part, &out), 0) << out;
        const std::string dumped = dir->file("dumped-pattern");
        std::filesystem::remove(dumped);
        ASSERT_EQ(sh("debugfs -R 'dump /data/pattern.bin " + dumped + "' " + part), 0);
        const dsb::GuestFile& f = file_named(sum->disks[0], "data/pattern.bin");
        EXPECT_EQ(dstest::read_at(dumped, 0, f.bytes.size() + 1), f.bytes);
        ASSERT_EQ(sh("debugfs -R 'cat /hello.txt' " + part, &out), 0);
        EXPECT_NE(out.find("hello from lostG"), std::string::npos) << out;
    } else {
        std::cout << "[ skipped  ] e2fsck or debugfs (e2fsprogs) is not installed\n";
    }
    if (dstest::have_program("ntfsls") && dstest::have_program("ntfscat")) {
        const std::string part = partition_of(ntfs);
        std::string out;
        ASSERT_EQ(sh("ntfsls -f " + part, &out), 0) << out;
        for (const char* name : {"hello.txt", "hostname", "pattern.bin", "big.bin"})
            EXPECT_NE(out.find(name), std::string::npos) << name << " not in\n" << out;
        const std::string cat = dir->file("cat-pattern");
        ASSERT_EQ(sh("ntfscat -f " + part + " /pattern.bin > " + cat), 0);
        const dsb::GuestFile& f = file_named(sum->disks[1], "data/pattern.bin");
        EXPECT_EQ(dstest::read_at(cat, 0, f.bytes.size() + 1), f.bytes);
    } else {
        std::cout << "[ skipped  ] ntfsls or ntfscat (ntfs-3g) is not installed\n";
    }
}

TEST_F(LostGuests, WhereTheEvidenceRunsOutAPositionStaysAHoleAndSaysSoNeverOtherBytes) {
    rebuild();
    ASSERT_EQ(rows.size(), 2u);
    // The NTFS disk's second pointer block is gone (overwritten, say): no
    // other holds its $MFTMirr, and the guest's word outranks a run's.
    const uint32_t gone = sum->disks[1].pointer_blocks[1];
    std::vector<ds::PointerBlockCandidate> fewer;
    for (const ds::PointerBlockCandidate& c : candidates)
        if (c.pointer_block != gone) fewer.push_back(c);
    ASSERT_EQ(fewer.size() + 1, candidates.size());
    const ds::RebuiltDisk n = store.rebuild_lost_disks(rows, fewer).at(1);
    ASSERT_EQ(n.pieces.size(), 3u);
    EXPECT_EQ(n.pieces[1].pointer_block, 0u);
    EXPECT_EQ(n.pieces[1].evidence, ds::PieceEvidence::none);
    EXPECT_EQ(n.pieces[1].detail, "no free pointer block holds what the guest puts here");
    EXPECT_EQ(n.placed(), 2);
    const std::string path = exported(n, "ntfs-holed.raw");
    const std::string& was = sum->disks[1].original;
    const uint64_t piece = sum->piece_bytes, chunk = 16 * kMiB;
    for (uint64_t at = 0; at < sum->disks[1].size; at += chunk) {
        const std::vector<uint8_t> got = dstest::read_at(path, at, chunk);
        ASSERT_EQ(got.size(), chunk) << at;
        if (at >= piece && at < 2 * piece)
            ASSERT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0; })) << at;
        else
            ASSERT_EQ(got, dstest::read_at(was, at, chunk)) << at;
    }
}

TEST_F(LostGuests, TheLiveDiskIsNeitherARowNorAPartOfARebuiltDisk) {
    const std::vector<ds::RebuiltDisk> disks = rebuild();
    std::set<uint32_t> live_ids, live_pbs;
    for (const dsb::ObjectExpect& o : sum->objects) {
        live_ids.insert(o.data_ids.begin(), o.data_ids.end());
        live_pbs.insert(o.pointer_ids.begin(), o.pointer_ids.end());
    }
    ASSERT_FALSE(live_pbs.empty());
    ds::Store& st = store.internals();
    for (const ds::RebuiltDisk& d : disks)
        for (const ds::RebuiltPiece& p : d.pieces) {
            if (!p.pointer_block) continue;
            EXPECT_FALSE(live_pbs.count(p.pointer_block)) << p.pointer_block;
            std::vector<uint8_t> ids(static_cast<size_t>(st.fs.pbc.header.item_size));
            ASSERT_TRUE(ds::bitmap_read_item(st, st.fs.pbc, ds::pb_entry(p.pointer_block), ds::pb_item(p.pointer_block), ids));
            for (size_t r = 0; r < ids.size(); r += 4)
                EXPECT_FALSE(live_ids.count(dsb::get_le<uint32_t>(ids, r))) << "live block in a rebuilt disk";
        }
}

} // namespace

namespace {

// A pointer block holding the superblock backups of two groups that the
// guest puts at two different positions is a copy from elsewhere (its
// blocks cannot stand at both): it places neither, and says so.
class TwoPlaces : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
};

std::vector<uint8_t> ext_superblock(uint32_t group) {
    std::vector<uint8_t> b(1024, 0);
    dsb::put_le<uint32_t>(b, 0x04, 31 * 256);   // 31 MiB of 4 KiB blocks
    dsb::put_le<uint32_t>(b, 0x18, 2);          // 4 KiB blocks
    dsb::put_le<uint32_t>(b, 0x20, 768);        // 3 MiB groups
    dsb::put_le<uint16_t>(b, 0x38, 0xEF53);
    dsb::put_le<uint16_t>(b, 0x5A, static_cast<uint16_t>(group));
    dsb::put_le<uint32_t>(b, 0x64, 1);          // sparse superblocks: groups 1, 3, 5, 7, 9
    for (int i = 0; i < 16; ++i) b[0x68 + static_cast<size_t>(i)] = static_cast<uint8_t>(0xC0 + i);
    return b;
}

TEST_F(TwoPlaces, ACandidateHoldingWitnessesOfTwoPositionsPlacesNeither) {
    dsb::DatastoreOptions o;
    o.path = dir.file("two.img");
    o.pbc.item_size = 4 * 8;   // 8 MiB a pointer block
    dsb::ImageBuilder ds(o);
    std::vector<uint32_t> blocks;
    for (int i = 0; i < 16; ++i) blocks.push_back(ds.unused(dsb::SysFile::Fbb));
    // 32 MiB: groups 3 and 5 fall 2 MiB into the second position and at the
    // start of the third.
    ds.write_item(blocks[0], 0, dsb::make_mbr({0x33, 0xC0, 0x8E}, {{0x83, 2048, 31 * 2048, true}}));
    ds.write_item(blocks[1], 1024, ext_superblock(0));
    ds.write_item(blocks[8], 0, ext_superblock(5));
    ds.write_item(blocks[10], 0, ext_superblock(3));
    auto pointer = [&](size_t from) {
        std::vector<uint8_t> ids(32, 0);
        for (size_t r = 0; r < 8; ++r) dsb::put_le<uint32_t>(ids, 4 * r, blocks[from + r]);
        const uint32_t pb = ds.unused(dsb::SysFile::Pbc);
        ds.write_item(pb, 0, ids);
        return pb;
    };
    const uint32_t first = pointer(0);
    pointer(8);
    ds.finish();
    ASSERT_TRUE(rectest::open_datastore(store, ds));
    std::vector<ds::PointerBlockCandidate> candidates;
    const ds::ScanResult<ds::PartitionRow> r = store.scan_lost_disks({}, {}, candidates);
    ASSERT_EQ(r.rows.size(), 1u);
    const ds::RebuiltDisk d = store.rebuild_lost_disks(r.rows, candidates).at(0);
    ASSERT_EQ(d.pieces.size(), 4u);
    EXPECT_EQ(d.pieces[0].pointer_block, first);
    for (size_t s : {1u, 2u}) {
        EXPECT_EQ(d.pieces[s].pointer_block, 0u) << s;
        EXPECT_EQ(d.pieces[s].evidence, ds::PieceEvidence::ambiguous) << s;
        EXPECT_NE(d.pieces[s].detail.find("fits other positions too"), std::string::npos) << d.pieces[s].detail;
    }
    EXPECT_EQ(d.placed(), 1);
}

} // namespace
