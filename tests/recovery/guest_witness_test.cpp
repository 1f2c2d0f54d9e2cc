// What a guest's own structures say about where its blocks belong: checked
// on file systems made by the real tools, so that a witness that never holds
// (or holds anywhere) shows here rather than as a quietly weaker rebuild.
#include "recovery/guest_witness.h"
#include "builder/le.h"
#include "builder/records.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <unistd.h>

namespace {

constexpr int64_t kMiB = 1 << 20;

bool have(const std::string& tool) { return dstest::have_program(tool); }

// A disk of `bytes`: an MBR with one partition of `type` from 1 MiB on,
// over the file `part` (the partition's own bytes).
struct Disk {
    std::vector<uint8_t> mbr;
    std::string part;
    int64_t bytes = 0;

    bool read(int64_t off, uint8_t* out, int64_t len) const {
        if (off < 0 || len < 0 || off + len > bytes) return false;
        std::memset(out, 0, static_cast<size_t>(len));
        if (off < 512) std::memcpy(out, mbr.data() + off, static_cast<size_t>(std::min<int64_t>(len, 512 - off)));
        if (off + len <= kMiB) return true;
        const int64_t from = std::max(off, kMiB);
        const std::vector<uint8_t> b = dstest::read_at(part, static_cast<uint64_t>(from - kMiB), static_cast<uint64_t>(off + len - from));
        std::copy(b.begin(), b.end(), out + (from - off));
        return true;
    }
    std::vector<uint8_t> at(int64_t off, int64_t len) const {
        std::vector<uint8_t> b(static_cast<size_t>(len));
        EXPECT_TRUE(read(off, b.data(), len));
        return b;
    }
    ds::GuestLayout layout() const {
        return ds::read_guest_layout([this](int64_t o, uint8_t* out, int64_t n) { return read(o, out, n); }, bytes);
    }
};

Disk make_disk(const std::string& part, uint8_t type) {
    Disk d;
    d.part = part;
    d.bytes = kMiB + static_cast<int64_t>(std::filesystem::file_size(part));
    d.mbr = dsb::make_mbr({0x33, 0xC0, 0x8E}, {{type, 2048, static_cast<uint32_t>((d.bytes - kMiB) / 512), true}});
    return d;
}

TEST(GuestWitness, ExtDescriptorCopiesHoldWhereverACopyStandsButOnlyForTheirOwnFileSystem) {
    if (!have("mke2fs")) GTEST_SKIP() << "mke2fs (e2fsprogs) is not installed";
    dstest::TempDir dir;
    for (const char* csum : {"metadata_csum", "^metadata_csum,uninit_bg"}) {
        SCOPED_TRACE(csum);
        const std::string a = dir.file("a.ext4"), b = dir.file("b.ext4");
        for (const auto& [p, uuid] : {std::pair{a, "11111111-2222-3333-4444-555555555555"},
                                      std::pair{b, "99999999-2222-3333-4444-555555555555"}}) {
            std::filesystem::remove(p);
            ASSERT_EQ(dstest::shell("mke2fs -q -F -t ext4 -b 4096 -g 8192 -O " + std::string(csum) + " -U " + uuid +
                                        " " + p + " 200M"), 0);
        }
        const Disk disk = make_disk(a, 0x83), other = make_disk(b, 0x83);
        const ds::GuestLayout g = disk.layout();
        EXPECT_EQ(g.length, kMiB + 200 * kMiB);
        std::vector<const ds::Witness*> tables, supers;
        for (const ds::Witness& w : g.witnesses)
            (w.kind == ds::Witness::Kind::ext_group_descriptors ? tables : supers).push_back(&w);
        ASSERT_GE(tables.size(), 3u);   // groups 1, 3, 5 (and 7) of 7 hold backups
        EXPECT_EQ(tables.size(), supers.size());
        for (size_t i = 0; i < tables.size(); ++i) {
            const ds::Witness* w = tables[i];
            EXPECT_FALSE(w->names_place);
            EXPECT_EQ(w->offset, supers[i]->offset + 4096);   // the table follows its superblock
            EXPECT_TRUE(ds::witness_holds(*w, disk.at(w->offset, w->bytes).data())) << w->detail;
            // The same table under another UUID does not, nor the superblock beside it.
            EXPECT_FALSE(ds::witness_holds(*w, other.at(w->offset, w->bytes).data())) << w->detail;
            EXPECT_FALSE(ds::witness_holds(*w, disk.at(w->offset - 4096, w->bytes).data())) << w->detail;
        }
        // Every copy is the same table: one copy holds at every other copy's place.
        EXPECT_TRUE(ds::witness_holds(*tables[0], disk.at(tables[1]->offset, 1024).data()));
        std::vector<uint8_t> bad = disk.at(tables[0]->offset, 1024);
        bad[0x0C] ^= 1;   // a descriptor's free-block count: its checksum no longer holds
        EXPECT_FALSE(ds::witness_holds(*tables[0], bad.data()));
        for (const ds::Witness* w : supers) EXPECT_TRUE(ds::witness_holds(*w, disk.at(w->offset, 1024).data()));
    }
}

TEST(GuestWitness, NtfsBackupBootSectorAndMirrorRecordsHoldOnlyAtTheirPlace) {
    if (!have("mkntfs")) GTEST_SKIP() << "mkntfs (ntfs-3g) is not installed";
    dstest::TempDir dir;
    const std::string p = dir.file("n.ntfs"), q = dir.file("m.ntfs");
    // A second apart: mkntfs draws the serial number from the clock.
    for (const std::string& f : {p, q}) {
        if (f == q) ::sleep(1);
        ASSERT_EQ(dstest::shell("truncate -s 96M " + f + " && mkntfs -F -Q -q -c 4096 -p 2048 -H 255 -S 63 " + f), 0);
    }
    const Disk disk = make_disk(p, 0x07), other = make_disk(q, 0x07);
    const ds::GuestLayout g = disk.layout();
    EXPECT_EQ(g.length, kMiB + 96 * kMiB);
    int boots = 0, mirrors = 0;
    for (const ds::Witness& w : g.witnesses) {
        ASSERT_EQ(w.kind, ds::Witness::Kind::same_bytes) << w.detail;
        EXPECT_TRUE(w.names_place);
        EXPECT_TRUE(ds::witness_holds(w, disk.at(w.offset, w.bytes).data())) << w.detail;
        if (w.detail.find("boot") != std::string::npos) {
            EXPECT_EQ(w.offset, kMiB + 96 * kMiB - 512);
            // Another volume of the same size has its own serial number. (Its
            // first records may be equal: made in the same second, or a clone.)
            EXPECT_FALSE(ds::witness_holds(w, other.at(w.offset, w.bytes).data()));
            ++boots;
        } else {
            EXPECT_FALSE(ds::witness_holds(w, disk.at(w.offset + (mirrors == 0 ? 1024 : -1024), w.bytes).data()));
            ++mirrors;
        }
    }
    EXPECT_EQ(boots, 1);
    EXPECT_EQ(mirrors, 4);

    // MFT records carry their own numbers.
    const std::vector<uint8_t> boot = disk.at(kMiB, 512);
    const int64_t mft = kMiB + static_cast<int64_t>(dsb::get_le<uint64_t>(boot, 0x30)) * 4096;
    ds::Witness r;
    r.kind = ds::Witness::Kind::ntfs_mft_record;
    r.number = 5;
    r.desc_size = 1024;
    EXPECT_TRUE(ds::witness_holds(r, disk.at(mft + 5 * 1024, 1024).data()));
    EXPECT_FALSE(ds::witness_holds(r, disk.at(mft + 6 * 1024, 1024).data()));
    std::vector<uint8_t> torn = disk.at(mft + 5 * 1024, 1024);
    torn[1022] ^= 0xFF;   // the second sector was not written with the first
    EXPECT_FALSE(ds::witness_holds(r, torn.data()));
}

TEST(GuestWitness, SwapAndPhysicalVolumeGiveTheirLengthAndTheMetadataHeaderNamesItsOffset) {
    dstest::TempDir dir;
    if (have("mkswap")) {
        const std::string s = dir.file("swap");
        ASSERT_EQ(dstest::shell("truncate -s 40M " + s + " && mkswap " + s), 0);
        Disk d = make_disk(s, 0x82);
        EXPECT_EQ(d.layout().length, kMiB + 40 * kMiB);
        // Over the whole disk, without a table.
        const std::vector<uint8_t> all = dstest::read_at(s, 0, 40 * kMiB);
        const ds::GuestReader read = [&](int64_t off, uint8_t* out, int64_t len) {
            if (off < 0 || off + len > static_cast<int64_t>(all.size())) return false;
            std::memcpy(out, all.data() + off, static_cast<size_t>(len));
            return true;
        };
        EXPECT_EQ(ds::read_guest_layout(read, 64 * kMiB).length, 40 * kMiB);
        EXPECT_EQ(ds::read_guest_layout(read, 32 * kMiB).length, 0);   // longer than the disk can be: not believed
    }
    // A physical volume of 64 MiB with a second metadata area at its end.
    const int64_t pv = 64 * kMiB, area = pv - kMiB;
    std::vector<uint8_t> disk(static_cast<size_t>(pv), 0);
    auto crc = [](const uint8_t* b, size_t n) { return ~ds::crc32_ieee(b, n, ~0xF597A6CFu); };
    uint8_t* label = disk.data() + 512;
    std::memcpy(label, "LABELONE", 8);
    dsb::put_le<uint64_t>(std::span<uint8_t>(label, 512), 8, 1);
    dsb::put_le<uint32_t>(std::span<uint8_t>(label, 512), 0x14, 32);
    std::memcpy(label + 0x18, "LVM2 001", 8);
    std::span<uint8_t> h(label + 32, 480);
    dsb::put_le<uint64_t>(h, 32, static_cast<uint64_t>(pv));
    const uint64_t locs[] = {kMiB, 0, 0, 0, 4096, kMiB - 4096, static_cast<uint64_t>(area), kMiB, 0, 0};
    for (size_t i = 0; i < 10; ++i) dsb::put_le<uint64_t>(h, 40 + 8 * i, locs[i]);
    dsb::put_le<uint32_t>(std::span<uint8_t>(label, 512), 0x10, crc(label + 0x14, 512 - 0x14));
    for (int64_t at : {int64_t{4096}, area}) {
        uint8_t* m = disk.data() + at;
        std::memcpy(m + 4, " LVM2 x[5A%r0N*>", 16);
        dsb::put_le<uint32_t>(std::span<uint8_t>(m, 512), 20, 1);
        dsb::put_le<uint64_t>(std::span<uint8_t>(m, 512), 24, static_cast<uint64_t>(at));
        dsb::put_le<uint64_t>(std::span<uint8_t>(m, 512), 32, at == area ? kMiB : kMiB - 4096);
        dsb::put_le<uint32_t>(std::span<uint8_t>(m, 512), 0, crc(m + 4, 508));
    }
    const ds::GuestReader read = [&](int64_t off, uint8_t* out, int64_t len) {
        if (off < 0 || off + len > pv) return false;
        std::memcpy(out, disk.data() + off, static_cast<size_t>(len));
        return true;
    };
    const ds::GuestLayout g = ds::read_guest_layout(read, pv);
    EXPECT_EQ(g.length, pv);
    ASSERT_EQ(g.witnesses.size(), 2u);
    const ds::Witness& end = g.witnesses[1];
    EXPECT_EQ(end.offset, area);
    EXPECT_TRUE(ds::witness_holds(end, disk.data() + area));
    EXPECT_FALSE(ds::witness_holds(end, disk.data() + 4096));   // the first area names another offset
    disk[static_cast<size_t>(area) + 100] ^= 1;
    EXPECT_FALSE(ds::witness_holds(end, disk.data() + area));   // its checksum no longer holds
    label[0x30] ^= 1;   // a damaged label is not believed
    EXPECT_EQ(ds::read_guest_layout(read, pv).length, 0);
}

// Guest bytes are as untrusted as the datastore's: signatures in place with
// every other byte random must give no witness and no length past the disk.
TEST(GuestWitness, RandomFieldsBehindValidSignaturesStayInsideTheDisk) {
    constexpr int64_t kDisk = 4 * kMiB;
    std::vector<uint8_t> disk(static_cast<size_t>(kDisk));
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    const ds::GuestReader read = [&](int64_t off, uint8_t* out, int64_t len) {
        if (off < 0 || len < 0 || off + len > kDisk) return false;
        std::memcpy(out, disk.data() + off, static_cast<size_t>(len));
        return true;
    };
    size_t seen = 0;
    for (int round = 0; round < 3000; ++round) {
        for (size_t i = 0; i < 80 * 1024; ++i) disk[i] = static_cast<uint8_t>(next());
        disk[510] = 0x55;
        disk[511] = 0xAA;
        const int64_t part = (next() % 2) ? 0 : 2048 * 512 / 64;   // a partition at sector 32
        for (int k = 0; k < 4; ++k) disk[0x1BE + 16 * k + 4] = std::array<uint8_t, 4>{0x83, 0x07, 0xEE, 0x8E}[(k + round) % 4];
        dsb::put_le<uint32_t>(disk, 0x1BE + 8, static_cast<uint32_t>(part / 512));
        dsb::put_le<uint32_t>(disk, 0x1BE + 12, static_cast<uint32_t>(next() % (kDisk / 512)));
        switch (round % 5) {
        case 0:
            dsb::put_le<uint16_t>(disk, static_cast<size_t>(part) + 1024 + 0x38, 0xEF53);
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 1024 + 0x18, static_cast<uint32_t>(next() % 3));
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 1024 + 0x20, 8 + static_cast<uint32_t>(next() % 1024));
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 1024 + 0x14, static_cast<uint32_t>(next() % 2));
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 1024 + 0x04, static_cast<uint32_t>(next() % 8192));
            break;
        case 1:
            std::memcpy(disk.data() + part + 3, "NTFS    ", 8);
            disk[static_cast<size_t>(part) + 510] = 0x55;
            disk[static_cast<size_t>(part) + 511] = 0xAA;
            dsb::put_le<uint16_t>(disk, static_cast<size_t>(part) + 0x0B, 512);
            disk[static_cast<size_t>(part) + 0x0D] = 8;
            dsb::put_le<uint64_t>(disk, static_cast<size_t>(part) + 0x28, next() % (kDisk / 256));
            dsb::put_le<uint64_t>(disk, static_cast<size_t>(part) + 0x30, next() % 16);
            std::memcpy(disk.data() + part + (next() % 16) * 4096, "FILE", 4);
            break;
        case 2: std::memcpy(disk.data() + 512, "EFI PART", 8); break;
        case 3:
            std::memcpy(disk.data() + part + 512, "LABELONE", 8);
            dsb::put_le<uint64_t>(disk, static_cast<size_t>(part) + 520, 1);
            std::memcpy(disk.data() + part + 512 + 0x18, "LVM2 001", 8);
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 512 + 0x14, 32 + static_cast<uint32_t>(next() % 64));
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 512 + 0x10,
                                  ~ds::crc32_ieee(disk.data() + part + 512 + 0x14, 512 - 0x14, ~0xF597A6CFu));
            break;
        default:
            std::memcpy(disk.data() + part + 4086, "SWAPSPACE2", 10);
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 1024, 1);
            dsb::put_le<uint32_t>(disk, static_cast<size_t>(part) + 1028, static_cast<uint32_t>(next() % 2048));
            break;
        }
        const int64_t reach = kDisk - static_cast<int64_t>(next() % (2 * kMiB));
        const ds::GuestLayout g = ds::read_guest_layout(read, reach, 64);
        EXPECT_LE(g.length, reach);
        EXPECT_LE(g.witnesses.size(), 64u);
        for (const ds::Witness& w : g.witnesses) {
            EXPECT_GE(w.offset, 0);
            EXPECT_LE(w.offset + w.bytes, reach) << w.detail;
            EXPECT_LE(w.bytes, ds::kWitnessBytes);
            // Checking a witness against random bytes reads only its own bytes.
            std::vector<uint8_t> junk(static_cast<size_t>(w.bytes));
            for (uint8_t& b : junk) b = static_cast<uint8_t>(next());
            ds::witness_holds(w, junk.data());
        }
        seen += g.witnesses.size() + (g.length > 0);
    }
    EXPECT_GT(seen, 0u);   // the signatures were found at least sometimes
}

} // namespace
