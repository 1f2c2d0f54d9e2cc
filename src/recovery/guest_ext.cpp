// ext2/3/4 witnesses: superblock backups, which name their block group, and
// the backup copies of the group descriptor table that follow them, whose
// per-group checksums bind each descriptor to this file system's UUID.
#include "recovery/guest_formats.h"

#include <cstring>

namespace ds::guest {

namespace {

constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kSparseSuper = 0x1;       // read-only compatible
constexpr uint32_t kGdtCsum = 0x10;          // read-only compatible
constexpr uint32_t kMetadataCsum = 0x400;    // read-only compatible
constexpr uint32_t kSparseSuper2 = 0x200;    // compatible
constexpr uint32_t kExt64Bit = 0x80;         // incompatible
constexpr uint32_t kCsumSeed = 0x2000;       // incompatible
constexpr uint32_t kMetaBg = 0x10;           // incompatible: descriptor copies stand elsewhere

bool power_of(uint64_t g, uint64_t base) {
    while (g > 1 && g % base == 0) g /= base;
    return g == 1;
}

struct ExtSuper {
    bool valid = false;
    uint64_t blocks = 0;
    uint32_t first_data_block = 0, block_size = 0, per_group = 0;
    uint32_t compat = 0, ro_compat = 0, incompat = 0;
    uint32_t backup_bgs[2] = {};
    uint16_t desc_size = 32;
    uint32_t seed = 0;
    std::array<uint8_t, 16> uuid{};
};

ExtSuper ext_super(const uint8_t* b) {
    ExtSuper s;
    if (le<uint16_t>(b, 0x38) != kExtMagic) return s;
    const uint32_t log = le<uint32_t>(b, 0x18);
    if (log > 6) return s;   // blocks of 1 KiB to 64 KiB
    s.block_size = 1024u << log;
    s.per_group = le<uint32_t>(b, 0x20);
    if (s.per_group < 8 || s.per_group > 8 * s.block_size) return s;
    s.first_data_block = le<uint32_t>(b, 0x14);
    if (s.first_data_block > 1) return s;
    s.incompat = le<uint32_t>(b, 0x60);
    s.blocks = le<uint32_t>(b, 0x04);
    if (s.incompat & kExt64Bit) {
        s.blocks |= uint64_t{le<uint32_t>(b, 0x150)} << 32;
        s.desc_size = le<uint16_t>(b, 0xFE);
        if (s.desc_size < 64 || s.desc_size > 1024 || (s.desc_size & (s.desc_size - 1)) != 0) s.desc_size = 0;
    }
    s.compat = le<uint32_t>(b, 0x5C);
    s.ro_compat = le<uint32_t>(b, 0x64);
    s.backup_bgs[0] = le<uint32_t>(b, 0x24C);
    s.backup_bgs[1] = le<uint32_t>(b, 0x250);
    std::copy(b + 0x68, b + 0x78, s.uuid.begin());
    s.seed = (s.incompat & kCsumSeed) ? le<uint32_t>(b, 0x270) : crc32c_raw(~0u, s.uuid.data(), 16);
    s.valid = s.blocks > s.first_data_block;
    return s;
}

bool has_backup(const ExtSuper& s, uint64_t g) {
    if (g == 0) return false;
    if (s.compat & kSparseSuper2) return g == s.backup_bgs[0] || g == s.backup_bgs[1];
    if (!(s.ro_compat & kSparseSuper)) return true;
    return g == 1 || power_of(g, 3) || power_of(g, 5) || power_of(g, 7);
}

uint16_t crc16(uint16_t crc, const uint8_t* p, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc >> 1) ^ (0xA001u & (0u - (crc & 1u))));
    }
    return crc;
}

// The checksum a descriptor of group g should carry.
uint16_t descriptor_checksum(const Witness& w, uint32_t g, const uint8_t* d) {
    uint8_t group[4];
    store_le32(group, g);
    const uint8_t zero[2] = {0, 0};
    if (w.checksum == 2) {
        uint32_t c = crc32c_raw(w.seed, group, 4);
        c = crc32c_raw(c, d, 0x1E);
        c = crc32c_raw(c, zero, 2);
        if (w.desc_size > 0x20) c = crc32c_raw(c, d + 0x20, w.desc_size - 0x20u);
        return static_cast<uint16_t>(c & 0xFFFF);
    }
    uint16_t c = crc16(0xFFFF, w.id.data(), 16);
    c = crc16(c, group, 4);
    c = crc16(c, d, 0x1E);
    if (w.desc_size > 0x20) c = crc16(c, d + 0x20, w.desc_size - 0x20u);
    return c;
}

} // namespace

bool ext_witnesses(Scope& sc, int64_t part) {
    uint8_t b[kWitnessBytes];
    if (!sc.read(part + 1024, b, kWitnessBytes)) return false;
    const ExtSuper s = ext_super(b);
    if (!s.valid) return false;
    const auto bs = static_cast<int64_t>(s.block_size);
    if (s.blocks > static_cast<uint64_t>(sc.max_length / bs)) return true;   // larger than the disk could be
    sc.reaches(part + static_cast<int64_t>(s.blocks) * bs);
    const uint64_t groups = (s.blocks - s.first_data_block + s.per_group - 1) / s.per_group;
    // Descriptor copies only with checksums that bind them to this UUID.
    const uint8_t checksum = (s.incompat & kMetaBg) ? 0 : (s.ro_compat & kMetadataCsum) ? 2 : (s.ro_compat & kGdtCsum) ? 1 : 0;
    const uint64_t table_blocks = s.desc_size ? (groups * s.desc_size + bs - 1) / bs : 0;
    for (uint64_t g = 1; g < groups && sc.room(); ++g) {
        if (!has_backup(s, g)) continue;
        const int64_t at = part + static_cast<int64_t>(s.first_data_block + g * s.per_group) * bs;
        if (!sc.fits(at, kWitnessBytes)) break;
        Witness w;
        w.kind = Witness::Kind::ext_superblock;
        w.offset = at;
        w.number = static_cast<uint32_t>(g);
        w.id = s.uuid;
        w.blocks_per_group = s.per_group;
        w.detail = "ext superblock backup of group " + std::to_string(g);
        sc.out.witnesses.push_back(std::move(w));
        if (checksum == 0) continue;
        for (uint64_t k = 0; k < table_blocks && k < s.per_group && sc.fits(at + (1 + int64_t(k)) * bs, kWitnessBytes);
             ++k) {
            Witness d;
            d.kind = Witness::Kind::ext_group_descriptors;
            d.offset = at + (1 + static_cast<int64_t>(k)) * bs;
            d.number = static_cast<uint32_t>(k * (s.block_size / s.desc_size));
            d.count = static_cast<uint32_t>(std::min<uint64_t>(kWitnessBytes / s.desc_size, groups - d.number));
            d.id = s.uuid;
            d.seed = s.seed;
            d.desc_size = s.desc_size;
            d.checksum = checksum;
            d.names_place = false;   // every backup holds the same table
            d.detail = "ext group descriptors (from group " + std::to_string(d.number) + ") after the backup of group " +
                       std::to_string(g);
            sc.out.witnesses.push_back(std::move(d));
        }
    }
    return true;
}

bool ext_superblock_holds(const Witness& w, const uint8_t* b) {
    const ExtSuper s = ext_super(b);
    return s.valid && s.uuid == w.id && s.per_group == w.blocks_per_group &&
           le<uint16_t>(b, 0x5A) == static_cast<uint16_t>(w.number);
}

bool ext_descriptors_hold(const Witness& w, const uint8_t* b) {
    if (w.desc_size < 32 || w.count == 0 || int64_t{w.count} * w.desc_size > kWitnessBytes) return false;
    for (uint32_t i = 0; i < w.count; ++i) {
        const uint8_t* d = b + size_t{i} * w.desc_size;
        if (le<uint16_t>(d, 0x1E) != descriptor_checksum(w, w.number + i, d)) return false;
    }
    return true;
}

} // namespace ds::guest
