// Where a disk's volume starts when the user did not say: the partition
// table first (hosts put the partition at 128 or 2048 and record it there),
// then the usual starts. Every guess is checked by the volume header's magic,
// so a stale table or a foreign disk never yields a wrong volume.
#include "vmfs/volume.h"
#include "vmfs/store.h"

#include "disk/disk_read.h"
#include "recovery/guest_witness.h"
#include "vmfs/le.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <span>
#include <vector>

namespace ds {
namespace {

constexpr uint8_t kMbrVmfsType = 0xFB;
constexpr uint8_t kMbrProtectiveType = 0xEE;
constexpr size_t kMbrTable = 446;
// AA31E02A-400F-11DB-9590-000C2911D1B8 as stored (the first three fields little-endian).
constexpr uint8_t kGptVmfsType[16] = {0x2A, 0xE0, 0x31, 0xAA, 0x0F, 0x40, 0xDB, 0x11,
                                      0x95, 0x90, 0x00, 0x0C, 0x29, 0x11, 0xD1, 0xB8};
// Far more entry bytes than any partitioning tool writes (128 x 128), small
// enough to hold.
constexpr int64_t kMaxGptEntryBytes = 1 << 20;

bool read_bytes(Store& store, const std::string& device, uint8_t* out, int64_t at, int64_t len) {
    return disk_read(store.disk, device, out, 0, at, len) == len;
}

// The first sector of the GPT's VMFS partition; -1 when the header or its
// entries fail their checks or name none.
int64_t gpt_vmfs_start(Store& store, const std::string& device) {
    uint8_t h[kSectorSize];
    if (!read_bytes(store, device, h, kSectorSize, kSectorSize) || std::memcmp(h, "EFI PART", 8) != 0) return -1;
    std::span<const uint8_t> b(h);
    const uint32_t header_size = load_le<uint32_t>(b, 12);
    if (header_size < 92 || header_size > kSectorSize) return -1;
    const uint32_t header_crc = load_le<uint32_t>(b, 16);
    uint8_t zeroed[kSectorSize];
    std::memcpy(zeroed, h, kSectorSize);
    std::memset(zeroed + 16, 0, 4);
    if (crc32_ieee(zeroed, header_size) != header_crc) return -1;
    const uint64_t entries_lba = load_le<uint64_t>(b, 72);
    const uint32_t count = load_le<uint32_t>(b, 80);
    const uint32_t entry_size = load_le<uint32_t>(b, 84);
    if (entry_size < 128 || entry_size % 8 != 0 || count == 0) return -1;
    const int64_t total = int64_t{count} * entry_size;
    if (total > kMaxGptEntryBytes || entries_lba > static_cast<uint64_t>(INT64_MAX / kSectorSize)) return -1;
    std::vector<uint8_t> entries(static_cast<size_t>(total));
    if (!read_bytes(store, device, entries.data(), static_cast<int64_t>(entries_lba) * kSectorSize, total)) return -1;
    if (crc32_ieee(entries.data(), entries.size()) != load_le<uint32_t>(b, 88)) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries.data() + size_t{i} * entry_size;
        if (std::memcmp(e, kGptVmfsType, 16) != 0) continue;
        const uint64_t first = load_le<uint64_t>(std::span<const uint8_t>(e, entry_size), 32);
        if (first > static_cast<uint64_t>(INT64_MAX / kSectorSize)) return -1;
        return static_cast<int64_t>(first);
    }
    return -1;
}

bool header_at(Store& store, const std::string& device, int64_t sector) {
    VolumeMember probe;
    probe.device = device;
    probe.start_sector = sector;
    probe.header_offset = kVolumeHeaderOffset;
    return volume_header_read(store, probe) == HeaderRead::ok;
}

} // namespace

StartSearch find_start(Store& store, const std::string& device) {
    StartSearch out;
    uint8_t mbr[kSectorSize];
    StartFrom listed_from = StartFrom::none;
    if (read_bytes(store, device, mbr, 0, kSectorSize) && mbr[510] == 0x55 && mbr[511] == 0xAA) {
        out.has_table = true;
        std::span<const uint8_t> b(mbr);
        bool protective = false;
        for (size_t i = 0; i < 4; ++i) {
            const size_t e = kMbrTable + 16 * i;
            if (mbr[e + 4] == kMbrProtectiveType) protective = true;
            if (mbr[e + 4] == kMbrVmfsType && out.listed < 0) {
                out.listed = load_le<uint32_t>(b, e + 8);
                listed_from = StartFrom::mbr;
            }
        }
        if (protective) {
            const int64_t g = gpt_vmfs_start(store, device);
            if (g >= 0) {
                out.listed = g;
                listed_from = StartFrom::gpt;
            }
        }
    }
    if (out.listed >= 0) {
        out.tried.push_back(out.listed);
        if (header_at(store, device, out.listed)) {
            out.from = listed_from;
            out.sector = out.listed;
            return out;
        }
    }
    for (int64_t s : kUsualStarts) {
        if (std::find(out.tried.begin(), out.tried.end(), s) != out.tried.end()) continue;
        out.tried.push_back(s);
        if (header_at(store, device, s)) {
            out.from = StartFrom::probe;
            out.sector = s;
            return out;
        }
    }
    return out;
}

} // namespace ds
