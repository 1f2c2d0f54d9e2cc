#include "recovery/guest_witness.h"

#include "recovery/guest_formats.h"

#include <algorithm>
#include <cstring>

namespace ds {

uint32_t crc32_ieee(const uint8_t* data, size_t len, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

uint32_t crc32c_raw(uint32_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    }
    return crc;
}

namespace {

using guest::le;
using guest::Scope;

constexpr int64_t kSector = 512;
constexpr uint32_t kMaxGptEntries = 1024;
constexpr int64_t kArrayPiece = 16 * 1024;

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

// Whatever a partition (or a disk without a table) holds.
void partition_witnesses(Scope& sc, int64_t start, int64_t bytes) {
    if (guest::ext_witnesses(sc, start) || guest::ntfs_witnesses(sc, start, bytes)) return;
    if (guest::lvm_witnesses(sc, start)) return;
    guest::swap_length(sc, start);
}

// The backup header at the last LBA the primary names, and the file
// systems of the partitions its entry array lists (when its CRC holds).
void gpt_witnesses(Scope& sc) {
    uint8_t h[512];
    if (!sc.read(kSector, h, 512) || !gpt_header_valid(h) || le<uint64_t>(h, 0x18) != 1) return;
    const uint64_t last = le<uint64_t>(h, 0x20);
    if (last == 0 || last >= static_cast<uint64_t>(sc.max_length / kSector)) return;
    sc.reaches(static_cast<int64_t>(last + 1) * kSector);
    if (sc.room()) {
        Witness w;
        w.kind = Witness::Kind::gpt_backup_header;
        w.offset = static_cast<int64_t>(last) * kSector;
        w.bytes = 512;
        std::copy(h + 0x38, h + 0x48, w.id.begin());
        w.detail = "GPT backup header at LBA " + std::to_string(last);
        sc.out.witnesses.push_back(std::move(w));
    }
    const uint64_t array = le<uint64_t>(h, 0x48);
    const uint32_t count = le<uint32_t>(h, 0x50), size = le<uint32_t>(h, 0x54);
    if (count == 0 || count > kMaxGptEntries || size < 128 || size > 512 || 512 % size != 0) return;
    if (array < 2 || array >= last) return;
    // Read in pieces that never cross 16 KiB of the disk, and so never one
    // of its blocks: a piece is one read, not one per sector.
    std::vector<uint8_t> entries(size_t{count} * size);
    const int64_t base = static_cast<int64_t>(array) * kSector;
    for (size_t at = 0; at < entries.size();) {
        const int64_t off = base + static_cast<int64_t>(at);
        const auto take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(entries.size() - at),
                                                                kArrayPiece - off % kArrayPiece));
        if (!sc.read(off, entries.data() + at, static_cast<int64_t>(take))) return;
        at += take;
    }
    if (crc32_ieee(entries.data(), entries.size()) != le<uint32_t>(h, 0x58)) return;
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* e = entries.data() + size_t{k} * size;
        if (std::all_of(e, e + 16, [](uint8_t v) { return v == 0; })) continue;
        const uint64_t first = le<uint64_t>(e, 0x20), end = le<uint64_t>(e, 0x28);
        if (first == 0 || end < first || end >= last) continue;
        partition_witnesses(sc, static_cast<int64_t>(first) * kSector, static_cast<int64_t>(end - first + 1) * kSector);
    }
}

} // namespace

GuestLayout read_guest_layout(const GuestReader& read, int64_t max_length, size_t max_witnesses) {
    GuestLayout out;
    Scope sc{read, max_length, max_witnesses, out};
    uint8_t mbr[512];
    if (!read(0, mbr, 512)) return out;
    // A physical volume or swap area over the whole disk has no table.
    if (guest::lvm_witnesses(sc, 0) || guest::swap_length(sc, 0)) return out;
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) return out;
    for (int k = 0; k < 4; ++k) {
        const uint8_t* e = mbr + 0x1BE + 16 * k;
        if (std::all_of(e, e + 16, [](uint8_t v) { return v == 0; })) break;
        const int64_t start = int64_t{le<uint32_t>(e, 8)} * kSector, count = int64_t{le<uint32_t>(e, 12)} * kSector;
        sc.reaches(start + count);
        if (e[4] == 0xEE) {
            gpt_witnesses(sc);
            continue;
        }
        if (e[4] == 0x05 || e[4] == 0x0F || e[4] == 0x85) continue;   // extended: no file system of its own
        if (count > 0) partition_witnesses(sc, start, count);
    }
    return out;
}

bool witness_holds(const Witness& w, const uint8_t* b) {
    switch (w.kind) {
    case Witness::Kind::ext_superblock: return guest::ext_superblock_holds(w, b);
    case Witness::Kind::ext_group_descriptors: return guest::ext_descriptors_hold(w, b);
    case Witness::Kind::gpt_backup_header:
        return gpt_header_valid(b) && le<uint64_t>(b, 0x18) == static_cast<uint64_t>(w.offset / kSector) &&
               std::equal(w.id.begin(), w.id.end(), b + 0x38);
    case Witness::Kind::same_bytes:
        return !w.expect.empty() && static_cast<int64_t>(w.expect.size()) <= w.bytes &&
               std::equal(w.expect.begin(), w.expect.end(), b);
    case Witness::Kind::ntfs_mft_record: return guest::ntfs_record_holds(w, b);
    case Witness::Kind::lvm_metadata_header: return guest::lvm_header_holds(w, b);
    }
    return false;
}

} // namespace ds
