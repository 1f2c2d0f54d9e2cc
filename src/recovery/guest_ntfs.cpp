// NTFS witnesses: the backup boot sector at the volume's last sector, the
// copies of the first MFT records in $MFTMirr, and MFT records, which carry
// their own record numbers, in the MFT's first run (a later run is not
// trusted to continue where the records' numbers would put it).
#include "recovery/guest_formats.h"

#include <cstring>

namespace ds::guest {

namespace {

constexpr int64_t kMiB = 1 << 20;

struct NtfsBoot {
    bool valid = false;
    int64_t sector = 0, cluster = 0, record = 0;
    uint64_t sectors = 0, mft = 0, mirror = 0;
};

NtfsBoot ntfs_boot(const uint8_t* b) {
    NtfsBoot n;
    if (std::memcmp(b + 3, "NTFS    ", 8) != 0 || b[510] != 0x55 || b[511] != 0xAA) return n;
    n.sector = le<uint16_t>(b, 0x0B);
    if (n.sector < 256 || n.sector > 4096 || (n.sector & (n.sector - 1)) != 0) return n;
    const uint8_t spc = b[0x0D];
    const int64_t per = spc <= 0x80 ? spc : (spc >= 0xF4 ? int64_t{1} << (256 - spc) : 0);
    if (per == 0 || (per & (per - 1)) != 0) return n;
    n.cluster = per * n.sector;
    if (n.cluster > (int64_t{1} << 21)) return n;
    const auto c = static_cast<int8_t>(b[0x40]);
    n.record = c > 0 ? c * n.cluster : (c >= -31 && c <= -9 ? int64_t{1} << -c : 0);
    if (n.record < 512 || n.record > 4096) return n;
    n.sectors = le<uint64_t>(b, 0x28);
    n.mft = le<uint64_t>(b, 0x30);
    n.mirror = le<uint64_t>(b, 0x38);
    const uint64_t clusters = n.sectors / static_cast<uint64_t>(per);
    n.valid = n.sectors > 0 && n.mft < clusters && n.mirror < clusters;
    return n;
}

// Clusters in the first run of record 0's unnamed $DATA, when it starts at
// the MFT's own cluster; and the bytes the MFT has written (its initialised size).
struct FirstRun {
    uint64_t clusters = 0, initialised = 0;
};

FirstRun mft_first_run(uint8_t* r, int64_t len, const NtfsBoot& n) {
    FirstRun run;
    if (std::memcmp(r, "FILE", 4) != 0 || len < 512) return run;
    // Undo the update sequence on the sectors that were read.
    const uint16_t usa = le<uint16_t>(r, 0x04), count = le<uint16_t>(r, 0x06);
    if (usa < 0x28 || count < 2 || usa + 2 * int64_t{count} > 512) return run;
    for (int64_t i = 1; i < count && i * 512 <= len; ++i) {
        if (std::memcmp(r + i * 512 - 2, r + usa, 2) != 0) return run;
        std::memcpy(r + i * 512 - 2, r + usa + 2 * i, 2);
    }
    int64_t at = le<uint16_t>(r, 0x14);
    for (int guard = 0; guard < 64 && at + 16 <= len; ++guard) {
        const uint32_t type = le<uint32_t>(r, static_cast<size_t>(at));
        const uint32_t alen = le<uint32_t>(r, static_cast<size_t>(at) + 4);
        if (type == 0xFFFFFFFFu || alen < 16 || alen % 8 != 0 || at + alen > len) return run;
        const uint8_t* a = r + at;
        if (type == 0x80 && a[8] == 1 && a[9] == 0 && alen >= 0x48) {
            const uint16_t pairs = le<uint16_t>(a, 0x20);
            if (pairs + 1u > alen) return run;
            const uint8_t head = a[pairs];
            const int lb = head & 0x0F, ob = head >> 4;
            if (lb == 0 || lb > 8 || ob == 0 || ob > 8 || pairs + 1u + lb + ob > alen) return run;
            uint64_t length = 0, lcn = 0;
            for (int i = 0; i < lb; ++i) length |= uint64_t{a[pairs + 1 + i]} << (8 * i);
            for (int i = 0; i < ob; ++i) lcn |= uint64_t{a[pairs + 1 + lb + i]} << (8 * i);
            if (lcn != n.mft || (ob < 8 && (lcn >> (8 * ob - 1)) != 0)) return run;   // negative or elsewhere
            run.clusters = length;
            run.initialised = le<uint64_t>(a, 0x38);
            return run;
        }
        at += alen;
    }
    return run;
}

} // namespace

bool ntfs_witnesses(Scope& sc, int64_t part, int64_t part_bytes) {
    uint8_t boot[512];
    if (!sc.read(part, boot, 512)) return false;
    const NtfsBoot n = ntfs_boot(boot);
    if (!n.valid) return false;
    const auto sectors = static_cast<int64_t>(std::min<uint64_t>(n.sectors, static_cast<uint64_t>(sc.max_length / n.sector)));
    if (static_cast<uint64_t>(sectors) != n.sectors) return true;   // larger than the disk could be
    const int64_t backup = part + sectors * n.sector;
    sc.reaches(backup + n.sector);
    if ((part_bytes == 0 || backup + 512 <= part + part_bytes) && sc.fits(backup, 512)) {
        Witness w;
        w.kind = Witness::Kind::same_bytes;
        w.offset = backup;
        w.bytes = 512;
        w.expect.assign(boot, boot + 512);
        w.detail = "NTFS backup boot sector";
        sc.out.witnesses.push_back(std::move(w));
    }
    const int64_t mft = part + static_cast<int64_t>(n.mft) * n.cluster;
    const int64_t look = std::min<int64_t>(n.record, kWitnessBytes);
    // $MFTMirr: byte copies of the first records, as read at the MFT.
    const int64_t mirror = part + static_cast<int64_t>(n.mirror) * n.cluster;
    for (int64_t k = 0; k < 4 && mirror != mft; ++k) {
        std::vector<uint8_t> rec(static_cast<size_t>(look));
        if (!sc.fits(mirror + k * n.record, look) || !sc.read(mft + k * n.record, rec.data(), look)) break;
        if (std::memcmp(rec.data(), "FILE", 4) != 0) break;
        Witness w;
        w.kind = Witness::Kind::same_bytes;
        w.offset = mirror + k * n.record;
        w.bytes = look;
        w.expect = std::move(rec);
        w.detail = "$MFTMirr copy of MFT record " + std::to_string(k);
        sc.out.witnesses.push_back(std::move(w));
    }
    std::vector<uint8_t> r0(static_cast<size_t>(look));
    if (!sc.read(mft, r0.data(), look)) return true;
    const FirstRun run = mft_first_run(r0.data(), look, n);
    const uint64_t bytes = std::min(run.clusters * static_cast<uint64_t>(n.cluster), run.initialised);
    const uint64_t records = bytes / static_cast<uint64_t>(n.record);
    // One record a MiB is enough to pin every block the run crosses.
    const uint64_t stride = static_cast<uint64_t>(std::max<int64_t>(1, kMiB / n.record));
    for (uint64_t k = stride; k < records && k <= 0xFFFFFFFFu; k += stride) {
        const int64_t at = mft + static_cast<int64_t>(k) * n.record;
        if (!sc.fits(at, look)) break;
        Witness w;
        w.kind = Witness::Kind::ntfs_mft_record;
        w.offset = at;
        w.number = static_cast<uint32_t>(k);
        w.desc_size = static_cast<uint16_t>(n.record);
        w.bytes = look;
        w.detail = "MFT record " + std::to_string(k);
        sc.out.witnesses.push_back(std::move(w));
    }
    return true;
}

bool ntfs_record_holds(const Witness& w, const uint8_t* b) {
    if (std::memcmp(b, "FILE", 4) != 0 || le<uint16_t>(b, 0x04) != 0x30 || le<uint32_t>(b, 0x2C) != w.number)
        return false;
    if (le<uint16_t>(b, 0x06) != w.desc_size / 512 + 1) return false;
    for (int64_t i = 1; i * 512 <= w.bytes; ++i)
        if (std::memcmp(b + i * 512 - 2, b + 0x30, 2) != 0) return false;   // a torn record
    return true;
}

} // namespace ds::guest
