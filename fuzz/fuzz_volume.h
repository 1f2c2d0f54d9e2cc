#pragma once
// A one-member logical volume held in memory for the fuzz targets: the input
// bytes are laid over chosen places of it, and the core reads it as a disk.

#include "disk/memory_source.h"
#include "vmfs/datastore.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dsfuzz {

inline constexpr int64_t kDataArea = 17 * 1048576;   // partition offset of LV offset 0

class MemoryVolume {
public:
    explicit MemoryVolume(int64_t lv_bytes);
    // Copies bytes to logical-volume offset lv (clipped to the disk; offsets
    // below 0 reach the partition before the data area).
    void put(int64_t lv, const uint8_t* data, size_t len);
    // Writes a valid volume header for one member holding segment 0.
    void put_volume_header();
    // Restores every byte to zero and starts on a new, empty datastore.
    void clear();
    // The datastore that reads the disk.
    ds::Datastore& store() { return *store_; }
    std::vector<uint8_t>& disk() { return source_.disks["mem0"]; }
    ds::MemorySource& source() { return source_; }

private:
    void mark(int64_t at, size_t len);
    ds::MemorySource source_;
    std::unique_ptr<ds::Datastore> store_ = std::make_unique<ds::Datastore>(source_);
    // Regions written since the last clear: zeroing only them keeps a run fast.
    std::vector<std::pair<int64_t, size_t>> dirty_;
};

} // namespace dsfuzz
