// Witnesses of volumes without a file system: an LVM2 physical volume (its
// label gives its size; a metadata area header names its own offset) and a
// swap area (its header gives its length).
#include "recovery/guest_formats.h"

#include <cstring>

namespace ds::guest {

namespace {

constexpr uint8_t kMdaMagic[16] = {' ', 'L', 'V', 'M', '2', ' ', 'x', '[', '5', 'A', '%', 'r', '0', 'N', '*', '>'};
constexpr int kMaxAreas = 8;   // a volume has one or two metadata areas; more is not a label to trust

uint32_t lvm_crc(const uint8_t* b, size_t len) { return ~crc32_ieee(b, len, ~0xF597A6CFu); }

} // namespace

bool lvm_witnesses(Scope& sc, int64_t part) {
    uint8_t b[512];
    for (int64_t sector = 0; sector < 4; ++sector) {
        if (!sc.read(part + sector * 512, b, 512)) return false;
        if (std::memcmp(b, "LABELONE", 8) != 0 || le<uint64_t>(b, 8) != static_cast<uint64_t>(sector)) continue;
        if (std::memcmp(b + 0x18, "LVM2 001", 8) != 0 || lvm_crc(b + 0x14, 512 - 0x14) != le<uint32_t>(b, 0x10)) continue;
        const uint32_t head = le<uint32_t>(b, 0x14);
        if (head < 0x20 || head + 40 > 512) continue;
        const uint64_t device = le<uint64_t>(b, head + 32);
        if (device > static_cast<uint64_t>(sc.max_length)) return true;   // larger than the disk could be
        sc.reaches(part + static_cast<int64_t>(device));
        // Data areas, then metadata areas, each list ended by a zero pair.
        size_t at = head + 40;
        for (int list = 0; list < 2; ++list) {
            for (int n = 0; at + 16 <= 512; ++n, at += 16) {
                const uint64_t off = le<uint64_t>(b, at), size = le<uint64_t>(b, at + 8);
                if (off == 0 && size == 0) break;
                if (n >= kMaxAreas) return true;
                if (list == 0 || off < 512 || size < 512 || off > static_cast<uint64_t>(sc.max_length)) continue;
                if (device && (size > device || off > device - size)) continue;   // outside the volume
                const int64_t o = part + static_cast<int64_t>(off);
                if (!sc.fits(o, 512)) continue;
                Witness w;
                w.kind = Witness::Kind::lvm_metadata_header;
                w.offset = o;
                w.named = off;
                w.size = size;
                w.bytes = 512;
                w.detail = "LVM2 metadata area header at " + std::to_string(off) + " in the physical volume";
                sc.out.witnesses.push_back(std::move(w));
            }
            at += 16;
        }
        return true;
    }
    return false;
}

bool lvm_header_holds(const Witness& w, const uint8_t* b) {
    return std::memcmp(b + 4, kMdaMagic, 16) == 0 && le<uint32_t>(b, 20) == 1 && le<uint64_t>(b, 24) == w.named &&
           le<uint64_t>(b, 32) == w.size && lvm_crc(b + 4, 508) == le<uint32_t>(b, 0);
}

bool swap_length(Scope& sc, int64_t part) {
    for (int64_t page = 4096; page <= 65536; page *= 2) {
        uint8_t sig[10], head[8];
        if (!sc.read(part + page - 10, sig, 10)) return false;
        if (std::memcmp(sig, "SWAPSPACE2", 10) != 0) continue;
        if (!sc.read(part + 1024, head, 8) || le<uint32_t>(head, 0) != 1) return false;
        const uint32_t last = le<uint32_t>(head, 4);
        if (last == 0) return false;
        sc.reaches(part + (int64_t{last} + 1) * page);
        return true;
    }
    return false;
}

} // namespace ds::guest
