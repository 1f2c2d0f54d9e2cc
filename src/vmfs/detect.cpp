#include "vmfs/detect.h"
#include "vmfs/store.h"

#include "disk/disk_read.h"
#include "vmfs/le.h"

#include <cstring>
#include <span>

namespace ds {
namespace {

// Where the volume header of a detected partition lies relative to its start.
constexpr int64_t kFirstPossibleHeader = kVolumeHeaderOffset;

bool same_volume(const VolumeMember& c, const LogicalVolume& lvm) {
    return std::memcmp(c.lvm_uuid, lvm.uuid, sizeof lvm.uuid) == 0 && c.lvm_size == lvm.size &&
           c.lvm_blocks == lvm.blocks && c.num_extents == lvm.numofextents;
}

} // namespace

Detection detect_candidates(Store& store, const std::vector<std::string>& devices) {
    Detection d;
    for (const std::string& device : devices) {
        uint8_t sector[512];
        int64_t found = -1;
        bool failed = false;
        store.disk.clear_thread_failure();
        // Nothing before 1 MiB can be a header: the partition would start
        // before sector 0, and its offsets would only meet again by wrap-around.
        for (int64_t pos = kFirstPossibleHeader; pos <= kDetectScanEnd; pos += 512) {
            if (disk_read(store.disk, device, sector, 0, pos, 512) != 512) {
                failed = true;
                break;
            }
            if (load_le<uint32_t>(std::span<const uint8_t>(sector), 0) == kVolumeMagic) {
                found = pos;
                break;
            }
        }
        if (failed) {
            d.read_failed.push_back(device);
            d.read_failures.push_back(store.disk.thread_failure());
            continue;
        }
        if (found < 0) continue;
        VolumeMember c;
        c.device = device;
        c.header_offset = kVolumeHeaderOffset;
        c.start_sector = (found - kVolumeHeaderOffset) >> 9;
        if (volume_header_read(store, c) != HeaderRead::ok) continue;
        if (static_cast<int>(d.candidates.size()) >= kMaxCandidates) {
            ++d.dropped;
            continue;
        }
        d.candidates.push_back(std::move(c));
    }
    return d;
}

std::vector<int> first_segment_candidates(const Detection& d) {
    std::vector<int> out;
    for (size_t j = 0; j < d.candidates.size(); ++j)
        if (d.candidates[j].first_segment == 0) out.push_back(static_cast<int>(j));
    return out;
}

AddDiskRefusal assemble_volume(Store& store, const Detection& d, int k) {
    LogicalVolume& lvm = store.lvm;
    lvm_clear(store);
    if (k < 0 || k >= static_cast<int>(d.candidates.size())) return AddDiskRefusal::not_found;
    AddDiskRefusal why = AddDiskRefusal::none;
    const VolumeMember& first = d.candidates[static_cast<size_t>(k)];
    if (add_disk(store, first.device, first.start_sector, &why) != 0) return why;
    for (;;) {
        const VolumeMember& last = lvm.volumes[lvm.loaded_extents - 1];
        const VolumeMember* next = nullptr;
        for (const VolumeMember& c : d.candidates) {
            if (c.first_segment > 0 && same_volume(c, lvm) &&
                int64_t{c.first_segment} == int64_t{last.last_segment} + 1) {
                next = &c;
                break;
            }
        }
        if (!next) return AddDiskRefusal::none;
        if (add_disk(store, next->device, next->start_sector, &why) != 0) return why;
    }
}

} // namespace ds
