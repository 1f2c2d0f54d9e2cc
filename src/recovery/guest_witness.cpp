#include "recovery/guest_witness.h"

#include "vmfs/le.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace ds {

uint32_t crc32_ieee(const uint8_t* data, size_t len, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

namespace {

constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kSparseSuper = 0x1;       // read-only compatible
constexpr uint32_t kSparseSuper2 = 0x200;    // compatible
constexpr uint32_t kExt64Bit = 0x80;         // incompatible

template <class T> T le(const uint8_t* b, size_t off) { return load_le<T>(std::span<const uint8_t>(b, off + sizeof(T)), off); }

bool power_of(uint64_t g, uint64_t base) {
    while (g > 1 && g % base == 0) g /= base;
    return g == 1;
}

// The GPT header at b, when its signature and CRC hold.
bool gpt_header_valid(const uint8_t* b) {
    if (std::memcmp(b, "EFI PART", 8) != 0) return false;
    const uint32_t size = le<uint32_t>(b, 0x0C);
    if (size < 92 || size > 512) return false;
    uint8_t copy[512];
    std::memcpy(copy, b, size);
    std::memset(copy + 0x10, 0, 4);
    return crc32_ieee(copy, size) == le<uint32_t>(b, 0x10);
}

struct ExtSuper {
    bool valid = false;
    uint64_t blocks = 0;
    uint32_t first_data_block = 0, block_size = 0, per_group = 0;
    uint32_t compat = 0, ro_compat = 0;
    uint32_t backup_bgs[2] = {};
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
    s.blocks = le<uint32_t>(b, 0x04);
    if (le<uint32_t>(b, 0x60) & kExt64Bit) s.blocks |= uint64_t{le<uint32_t>(b, 0x150)} << 32;
    s.compat = le<uint32_t>(b, 0x5C);
    s.ro_compat = le<uint32_t>(b, 0x64);
    s.backup_bgs[0] = le<uint32_t>(b, 0x24C);
    s.backup_bgs[1] = le<uint32_t>(b, 0x250);
    std::copy(b + 0x68, b + 0x78, s.uuid.begin());
    s.valid = s.blocks > s.first_data_block;
    return s;
}

bool has_backup(const ExtSuper& s, uint64_t g) {
    if (g == 0) return false;
    if (s.compat & kSparseSuper2) return g == s.backup_bgs[0] || g == s.backup_bgs[1];
    if (!(s.ro_compat & kSparseSuper)) return true;
    return g == 1 || power_of(g, 3) || power_of(g, 5) || power_of(g, 7);
}

void ext_witnesses(const GuestReader& read, int64_t part, int64_t max_length, size_t max_witnesses,
                   GuestLayout& out) {
    uint8_t b[kWitnessBytes];
    if (!read(part + 1024, b, kWitnessBytes)) return;
    const ExtSuper s = ext_super(b);
    if (!s.valid) return;
    const auto bs = static_cast<int64_t>(s.block_size);
    if (s.blocks > static_cast<uint64_t>(max_length / bs)) return;   // larger than the disk could be
    out.length = std::max(out.length, part + static_cast<int64_t>(s.blocks) * bs);
    const uint64_t groups = (s.blocks - s.first_data_block + s.per_group - 1) / s.per_group;
    for (uint64_t g = 1; g < groups && out.witnesses.size() < max_witnesses; ++g) {
        if (!has_backup(s, g)) continue;
        Witness w;
        w.kind = Witness::Kind::ext_superblock;
        w.offset = part + static_cast<int64_t>(s.first_data_block + g * s.per_group) * bs;
        if (w.offset + kWitnessBytes > max_length) break;
        w.number = static_cast<uint32_t>(g);
        w.id = s.uuid;
        w.blocks_per_group = s.per_group;
        w.detail = "ext superblock backup of group " + std::to_string(g);
        out.witnesses.push_back(std::move(w));
    }
}

} // namespace

GuestLayout read_guest_layout(const GuestReader& read, int64_t max_length, size_t max_witnesses) {
    GuestLayout out;
    uint8_t mbr[512];
    if (!read(0, mbr, 512) || mbr[510] != 0x55 || mbr[511] != 0xAA) return out;
    for (int k = 0; k < 4; ++k) {
        const uint8_t* e = mbr + 0x1BE + 16 * k;
        if (std::all_of(e, e + 16, [](uint8_t v) { return v == 0; })) break;
        const int64_t start = int64_t{le<uint32_t>(e, 8)} * 512, count = int64_t{le<uint32_t>(e, 12)} * 512;
        if (start + count <= max_length) out.length = std::max(out.length, start + count);
        if (e[4] == 0xEE) {
            // The protective entry of a GPT disk: the header at LBA 1 names
            // the disk's last LBA, where its backup stands.
            uint8_t h[512];
            if (!read(512, h, 512) || !gpt_header_valid(h) || le<uint64_t>(h, 0x18) != 1) continue;
            const uint64_t last = le<uint64_t>(h, 0x20);
            if (last == 0 || last >= static_cast<uint64_t>(max_length / 512)) continue;
            out.length = std::max(out.length, static_cast<int64_t>(last + 1) * 512);
            Witness w;
            w.kind = Witness::Kind::gpt_backup_header;
            w.offset = static_cast<int64_t>(last) * 512;
            w.offset = static_cast<int64_t>(last) * 512;
            w.bytes = 512;
            std::copy(h + 0x38, h + 0x48, w.id.begin());
            w.detail = "GPT backup header at LBA " + std::to_string(last);
            out.witnesses.push_back(std::move(w));
            continue;
        }
        if (e[4] == 0x05 || e[4] == 0x0F || e[4] == 0x85) continue;   // extended: no file system of its own
        if (count > 0) ext_witnesses(read, start, max_length, max_witnesses, out);
    }
    return out;
}

bool witness_holds(const Witness& w, const uint8_t* b) {
    switch (w.kind) {
    case Witness::Kind::ext_superblock: {
        const ExtSuper s = ext_super(b);
        return s.valid && s.uuid == w.id && s.per_group == w.blocks_per_group &&
               le<uint16_t>(b, 0x5A) == static_cast<uint16_t>(w.number);
    }
    case Witness::Kind::gpt_backup_header:
        return gpt_header_valid(b) && le<uint64_t>(b, 0x18) == static_cast<uint64_t>(w.offset / 512) &&
               std::equal(w.id.begin(), w.id.end(), b + 0x38);
    }
    return false;
}

} // namespace ds
