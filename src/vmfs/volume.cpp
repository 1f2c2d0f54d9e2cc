#include "vmfs/volume.h"
#include "vmfs/store.h"

#include "disk/disk_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <span>

namespace ds {

void lvm_clear(Store& store) {
    store.lvm.loaded_extents = 0;
    fs_close(store);
}

namespace {

// Device byte offset of partition-relative offset rel; -1 on overflow.
int64_t partition_offset(const VolumeMember& vol, int64_t rel) {
    int64_t base = 0;
    if (vol.start_sector < 0 || __builtin_mul_overflow(vol.start_sector, kSectorSize, &base)) return -1;
    int64_t out = 0;
    if (__builtin_add_overflow(base, vol.header_offset, &out) || __builtin_add_overflow(out, rel, &out)) return -1;
    return out;
}

} // namespace

HeaderRead volume_header_read(Store& store, VolumeMember& vol) {
    uint8_t raw[kVolumeHeaderBytes];
    int64_t at = partition_offset(vol, 0);
    if (at < 0 || disk_read(store.disk, vol.device, raw, 0, at, kVolumeHeaderBytes) != kVolumeHeaderBytes)
        return HeaderRead::unreadable;
    std::span<const uint8_t> b(raw);
    vol.magic = load_le<uint32_t>(b, 0x000);
    if (vol.magic != kVolumeMagic) return HeaderRead::bad_magic;
    vol.version = load_le<uint32_t>(b, 0x004);
    load_bytes(b, 0x012, vol.name);
    load_bytes(b, 0x082, vol.uuid);
    vol.lun = raw[0x00E];
    vol.size = 0;
    for (int i = 0; i < 7; ++i) vol.size |= uint64_t{raw[0x05F + i]} << (8 * i);
    vol.lvm_size = load_le<int64_t>(b, 0x200);
    vol.lvm_blocks = load_le<int64_t>(b, 0x208);
    vol.num_segments = load_le<int32_t>(b, 0x274);
    vol.first_segment = load_le<int32_t>(b, 0x278);
    vol.last_segment = load_le<int32_t>(b, 0x280);
    vol.num_extents = load_le<int32_t>(b, 0x290);
    load_bytes(b, 0x254, vol.lvm_uuid);
    return HeaderRead::ok;
}

namespace {

int64_t member_read(Store& store, const VolumeMember& vol, uint8_t* buffer, int32_t index, int64_t pos, int64_t len,
                    bool probe) {
    if (pos < 0) return -1;
    int64_t at = partition_offset(vol, kDataAreaOffset);
    if (at < 0 || __builtin_add_overflow(at, pos, &at)) return -1;
    return probe ? store.disk.read_probe(vol.device, buffer, index, at, len)
                 : disk_read(store.disk, vol.device, buffer, index, at, len);
}

int64_t volume_read_at(Store& store, uint8_t* buffer, int32_t index, int64_t pos, int64_t len, bool probe) {
    if (pos < 0) return -1;
    const LogicalVolume& lvm = store.lvm;
    int64_t segment = pos / kSegmentSize;
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k) {
        const VolumeMember& m = lvm.volumes[k];
        if (m.first_segment <= segment && segment <= m.last_segment)
            return member_read(store, m, buffer, index, pos - int64_t{m.first_segment} * kSegmentSize, len, probe);
    }
    // Within the volume's size, yet on no member: one was not given.
    const MissingSegments missing = lvm_missing_segments(store);
    if (missing.any() && missing.first <= segment && segment <= missing.last)
        store.disk.note_missing_member(static_cast<int32_t>(segment));
    return -1;
}

} // namespace

int64_t volume_read(Store& store, const VolumeMember& vol, uint8_t* buffer, int32_t index, int64_t pos, int64_t len) {
    return member_read(store, vol, buffer, index, pos, len, false);
}

int64_t lvm_read(Store& store, uint8_t* buffer, int32_t index, int64_t pos, int64_t len) {
    return volume_read_at(store, buffer, index, pos, len, false);
}

int64_t lvm_probe(Store& store, uint8_t* buffer, int64_t pos, int64_t len) {
    return volume_read_at(store, buffer, 0, pos, len, true);
}

MissingSegments lvm_missing_segments(const Store& store) {
    const LogicalVolume& lvm = store.lvm;
    MissingSegments out;
    if (lvm.loaded_extents <= 0 || lvm.loaded_extents >= lvm.numofextents || lvm.size <= 0) return out;
    const int64_t loaded_end = int64_t{lvm.volumes[std::min(lvm.loaded_extents, kMaxExtents) - 1].last_segment} + 1;
    // The size is untrusted: a segment count past 32 bits names no real volume.
    const int64_t segments = std::min<int64_t>((lvm.size - 1) / kSegmentSize + 1, INT32_MAX);
    if (loaded_end >= segments) return out;
    out.first = static_cast<int32_t>(loaded_end);
    out.last = static_cast<int32_t>(segments - 1);
    out.bytes = lvm.size - loaded_end * kSegmentSize;
    out.members = lvm.numofextents - lvm.loaded_extents;
    return out;
}

bool lvm_locate(Store& store, int64_t pos, LvmPlace& place) {
    place = {};
    if (pos < 0) return false;
    const LogicalVolume& lvm = store.lvm;
    const int64_t segment = pos / kSegmentSize;
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k) {
        const VolumeMember& m = lvm.volumes[k];
        if (m.first_segment > segment || segment > m.last_segment) continue;
        const int64_t base = partition_offset(m, kDataAreaOffset);
        const int64_t rel = pos - int64_t{m.first_segment} * kSegmentSize;
        if (base < 0 || __builtin_add_overflow(base, rel, &place.device_offset)) return false;
        place.member = &m;
        place.bytes_in_member = (int64_t{m.last_segment} + 1) * kSegmentSize - pos;
        return true;
    }
    return false;
}

int64_t lvm_capacity(Store& store) {
    const LogicalVolume& lvm = store.lvm;
    int64_t segments = 0;
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k)
        segments = std::max(segments, int64_t{lvm.volumes[k].last_segment} + 1);
    return segments * kSegmentSize;   // last_segment is 32-bit: no overflow
}


int add_disk(Store& store, const std::string& device, int64_t start_sector, AddDiskRefusal* why, StartFrom from) {
    auto refuse = [why](AddDiskRefusal r) {
        if (why) *why = r;
        return -1;
    };
    LogicalVolume& lvm = store.lvm;
    int k = lvm.loaded_extents;
    if (k < 0 || k >= kMaxExtents) return refuse(AddDiskRefusal::too_many);
    VolumeMember& m = lvm.volumes[k];
    m.device = device;
    m.start_sector = start_sector;
    m.start_from = from;
    m.header_offset = kVolumeHeaderOffset;
    if (volume_header_read(store, m) != HeaderRead::ok) return refuse(AddDiskRefusal::not_found);
    if (k == 0) {
        if (m.first_segment != 0) return refuse(AddDiskRefusal::not_first);
        std::memcpy(lvm.uuid, m.lvm_uuid, sizeof lvm.uuid);
        lvm.numofextents = m.num_extents;
        lvm.size = m.lvm_size;
        lvm.blocks = m.lvm_blocks;
    } else {
        if (std::memcmp(m.lvm_uuid, lvm.uuid, sizeof lvm.uuid) != 0 || m.lvm_size != lvm.size ||
            m.lvm_blocks != lvm.blocks || m.num_extents != lvm.numofextents)
            return refuse(AddDiskRefusal::mismatch);
        if (int64_t{lvm.volumes[k - 1].last_segment} + 1 != m.first_segment)
            return refuse(AddDiskRefusal::not_continuous);
    }
    lvm.loaded_extents = k + 1;
    fs_close(store);
    if (why) *why = AddDiskRefusal::none;
    return 0;
}

} // namespace ds
