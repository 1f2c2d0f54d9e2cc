// Geometry and allocation state of one bitmap system file
// (.fbb.sf, .sbc.sf, .pbc.sf, .fdc.sf).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace dsb {

enum class SysFile { Fbb, Sbc, Pbc, Fdc };
const char* sysfile_name(SysFile f);

struct BitmapGeometry {
    std::uint32_t items_per_entry = 16;
    std::uint32_t entries_per_area = 16;
    std::uint32_t header_size = 65536;
    std::uint32_t item_size = 2048;
    std::uint32_t area_count = 1;
    std::uint32_t area_size_override = 0; // 0: entries plus item data

    std::uint32_t area_size() const;
    std::uint64_t items_per_area() const { return std::uint64_t{items_per_entry} * entries_per_area; }
    std::uint64_t entry_count() const { return std::uint64_t{entries_per_area} * area_count; }
    std::uint64_t total_items() const { return items_per_area() * area_count; }
    std::uint64_t file_size() const { return header_size + std::uint64_t{area_count} * area_size(); }

    // File offsets inside the system file.
    std::uint64_t entry_pos(std::uint32_t entry_number) const;
    std::uint64_t item_pos(std::uint32_t entry, std::uint32_t item) const;
};

// Free/allocated state of every item. Items never handed out are kept apart
// from items that were freed, so fresh allocations never land on old data
// that a recovery scenario wants to keep.
class BitmapState {
public:
    enum class Slot : std::uint8_t { Unused, Allocated, Freed };

    BitmapState() = default;
    // Items at or beyond `usable` exist in the bitmap but are never free.
    BitmapState(const BitmapGeometry& g, std::uint64_t usable);

    const BitmapGeometry& geometry() const { return geo_; }
    std::uint64_t usable() const { return usable_; }
    Slot slot(std::uint64_t n) const;
    bool is_free(std::uint64_t n) const { return slot(n) != Slot::Allocated; }

    std::uint64_t allocate();      // next never-used item, now allocated
    std::uint64_t take_unused();   // next never-used item, left free
    void claim(std::uint64_t n);   // mark allocated; it must be free
    void release(std::uint64_t n); // mark free, keeping its bytes
    void set_free_count(std::uint32_t entry, std::uint32_t value) { free_override_[entry] = value; }

    std::vector<std::uint8_t> header_bytes() const;
    std::vector<std::uint8_t> entry_bytes(std::uint32_t entry_number) const;

private:
    std::uint64_t next_unused();
    BitmapGeometry geo_;
    std::uint64_t usable_ = 0;
    std::vector<Slot> slots_;
    std::uint64_t cursor_ = 0;
    std::map<std::uint32_t, std::uint32_t> free_override_;
};

} // namespace dsb
