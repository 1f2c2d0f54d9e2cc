#include "fuzz_volume.h"

#include "vmfs/volume.h"

#include <algorithm>
#include <cstring>

namespace dsfuzz {

MemoryVolume::MemoryVolume(int64_t lv_bytes) {
    source_.disks["mem0"].assign(static_cast<size_t>(kDataArea + lv_bytes), 0);
}

void MemoryVolume::put(int64_t lv, const uint8_t* data, size_t len) {
    auto& d = disk();
    int64_t at = kDataArea + lv;
    if (at < 0 || at >= static_cast<int64_t>(d.size())) return;
    size_t n = std::min(len, d.size() - static_cast<size_t>(at));
    std::memcpy(d.data() + at, data, n);
    mark(at, n);
}

void MemoryVolume::put_volume_header() {
    uint8_t* h = disk().data() + ds::kVolumeHeaderOffset;
    const uint32_t magic = ds::kVolumeMagic;
    std::memcpy(h, &magic, 4);
    h[0x290] = 1;   // one extent; segments 0..0
    mark(ds::kVolumeHeaderOffset, 1024);
}

void MemoryVolume::mark(int64_t at, size_t len) { dirty_.emplace_back(at, len); }

void MemoryVolume::clear() {
    for (auto [at, len] : dirty_) std::memset(disk().data() + at, 0, len);
    dirty_.clear();
    store_.reset();
    store_ = std::make_unique<ds::Datastore>(source_);
}

} // namespace dsfuzz
