#pragma once
// The end-to-end fuzz target's world: a small datastore made once by the
// builder and held in memory, whose metadata an input overwrites before
// everything an operator can do with a datastore runs on it: opening, a
// recursive listing, exports, the mount's attributes and hole search, and the
// three recovery scans. The image is
// restored after every input.
//
// An input is a sequence of patches, each
//   region (1 byte) | offset (2 bytes LE) | length (2 bytes LE) | bytes
// The region is taken modulo the number of regions, the offset modulo the
// region's length, and the length is cut at the region's end and at the
// input's end. Region 255 instead makes every device read at or past
// offset * 8192 of the image fail (a disk that dies part-way, or an image
// cut short); its length bytes are skipped.

#include "disk/memory_source.h"
#include "recovery/scan.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dsfuzz {

inline constexpr uint8_t kFailRegion = 255;
inline constexpr int64_t kFailStep = 8192;

struct Region {
    std::string name;
    int64_t offset = 0;   // byte offset in the image
    size_t length = 0;
};

// What one run did, for the regression tests and for sanity checks.
struct RunOutcome {
    bool disk_added = false;
    std::string open_message;
    bool tree_walked = false;
    int64_t tree_entries = 0;
    int exports = 0;
    ds::ScanEnd deleted = ds::ScanEnd::not_open;
    ds::ScanEnd formatted = ds::ScanEnd::not_open;
    ds::ScanEnd vmdk = ds::ScanEnd::not_open;
    int64_t deleted_rows = 0;
    int64_t found_dirs = 0;
    int64_t vmdk_rows = 0;
    int64_t mount_probes = 0;   // descriptors the mount's stat and seeks ran on
    int64_t mount_holes = 0;    // of those, files where a hole was found before the end
};

class DatastoreHarness {
public:
    DatastoreHarness();
    ~DatastoreHarness();
    DatastoreHarness(const DatastoreHarness&) = delete;
    DatastoreHarness& operator=(const DatastoreHarness&) = delete;

    const std::vector<Region>& regions() const { return regions_; }
    // The bytes region k holds in the undamaged image.
    std::span<const uint8_t> pristine(size_t k) const { return pristine_[k]; }
    size_t region_index(const std::string& name) const;   // throws when absent

    // Applies the patches, runs every operation, restores the image.
    RunOutcome run(const uint8_t* data, size_t size);

private:
    void apply(const uint8_t* data, size_t size);
    void restore();
    RunOutcome exercise();

    std::string dir_;
    std::string sink_;
    int64_t start_sector_ = 0;
    ds::MemorySource source_;
    std::vector<Region> regions_;
    std::vector<std::vector<uint8_t>> pristine_;
    std::vector<bool> dirty_;
};

// The process-wide harness, built on first use.
DatastoreHarness& harness();

// One patch in the input format above.
std::vector<uint8_t> patch(size_t region, uint16_t offset, std::span<const uint8_t> bytes);
std::vector<uint8_t> fail_reads_from(uint16_t step);

} // namespace dsfuzz
