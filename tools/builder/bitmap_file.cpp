#include "bitmap_file.h"

#include <stdexcept>
#include <string>

#include "layout.h"
#include "le.h"

namespace dsb {

using namespace layout;

const char* sysfile_name(SysFile f) {
    switch (f) {
    case SysFile::Fbb: return ".fbb.sf";
    case SysFile::Sbc: return ".sbc.sf";
    case SysFile::Pbc: return ".pbc.sf";
    case SysFile::Fdc: return ".fdc.sf";
    }
    return "?";
}

std::uint32_t BitmapGeometry::area_size() const {
    if (area_size_override != 0) return area_size_override;
    std::uint64_t s = std::uint64_t{entries_per_area} * kBitmapEntrySize + items_per_area() * item_size;
    if (s > 0x7FFFFFFF) throw std::invalid_argument("dsb: bitmap area larger than a signed 32-bit size");
    return static_cast<std::uint32_t>(s);
}

std::uint64_t BitmapGeometry::entry_pos(std::uint32_t e) const {
    return header_size + std::uint64_t{e / entries_per_area} * area_size() +
        std::uint64_t{e % entries_per_area} * kBitmapEntrySize;
}

std::uint64_t BitmapGeometry::item_pos(std::uint32_t entry, std::uint32_t item) const {
    std::uint64_t n = std::uint64_t{entry} * items_per_entry + item;
    std::uint64_t per_area = items_per_area();
    return header_size + (n / per_area) * area_size() + std::uint64_t{entries_per_area} * kBitmapEntrySize +
        (n % per_area) * item_size;
}

BitmapState::BitmapState(const BitmapGeometry& g, std::uint64_t usable) : geo_(g), usable_(usable) {
    if (g.items_per_entry == 0 || g.items_per_entry > kMaxItemsPerEntry || g.entries_per_area == 0)
        throw std::invalid_argument("dsb: bitmap needs 1..3968 items per entry and at least one entry per area");
    if (g.header_size < kBitmapHeaderSize) throw std::invalid_argument("dsb: bitmap header region too small");
    if (usable_ > g.total_items()) usable_ = g.total_items();
    slots_.assign(usable_, Slot::Unused);
}

BitmapState::Slot BitmapState::slot(std::uint64_t n) const { return n < usable_ ? slots_[n] : Slot::Allocated; }

std::uint64_t BitmapState::next_unused() {
    while (cursor_ < usable_ && slots_[cursor_] != Slot::Unused) ++cursor_;
    if (cursor_ >= usable_) throw std::length_error("dsb: bitmap file is full; give it more areas");
    return cursor_;
}

std::uint64_t BitmapState::allocate() {
    std::uint64_t n = next_unused();
    slots_[n] = Slot::Allocated;
    return n;
}

std::uint64_t BitmapState::take_unused() {
    std::uint64_t n = next_unused();
    // Leave it free but no longer "unused", so it is not handed out again.
    slots_[n] = Slot::Freed;
    return n;
}

void BitmapState::claim(std::uint64_t n) {
    if (n >= usable_ || slots_[n] == Slot::Allocated)
        throw std::invalid_argument("dsb: item " + std::to_string(n) + " is not free");
    slots_[n] = Slot::Allocated;
}

void BitmapState::release(std::uint64_t n) {
    if (n >= usable_) throw std::out_of_range("dsb: item " + std::to_string(n) + " outside the bitmap");
    slots_[n] = Slot::Freed;
}

std::vector<std::uint8_t> BitmapState::header_bytes() const {
    std::vector<std::uint8_t> h(kBitmapHeaderSize, 0);
    std::span<std::uint8_t> b(h);
    std::uint64_t total = geo_.total_items();
    put_le<std::int32_t>(b, 0, static_cast<std::int32_t>(geo_.items_per_entry));
    put_le<std::int32_t>(b, 4, static_cast<std::int32_t>(geo_.entries_per_area));
    put_le<std::int32_t>(b, 8, static_cast<std::int32_t>(geo_.header_size));
    put_le<std::int32_t>(b, 12, static_cast<std::int32_t>(geo_.item_size));
    put_le<std::int32_t>(b, 16, static_cast<std::int32_t>(geo_.area_size()));
    put_le<std::int32_t>(b, 20, static_cast<std::int32_t>(total > 0x7FFFFFFF ? 0x7FFFFFFF : total));
    put_le<std::int32_t>(b, 24, static_cast<std::int32_t>(geo_.area_count));
    return h;
}

std::vector<std::uint8_t> BitmapState::entry_bytes(std::uint32_t e) const {
    std::vector<std::uint8_t> out(kBitmapEntrySize, 0);
    std::span<std::uint8_t> b(out);
    put_le<std::uint32_t>(b, entry::kMagic, kDescriptorMagic);
    std::uint32_t ipe = geo_.items_per_entry;
    std::uint32_t free_count = 0;
    std::uint32_t first_free = ipe;
    for (std::uint32_t i = 0; i < ipe; ++i) {
        if (!is_free(std::uint64_t{e} * ipe + i)) continue;
        // A set bit marks a free item.
        b[entry::kBitmap + (i >> 3)] = static_cast<std::uint8_t>(b[entry::kBitmap + (i >> 3)] | (1u << (i & 7)));
        if (free_count == 0) first_free = i;
        ++free_count;
    }
    if (auto it = free_override_.find(e); it != free_override_.end()) free_count = it->second;
    put_le<std::uint32_t>(b, entry::kId, e);
    put_le<std::uint32_t>(b, entry::kTotal, ipe);
    put_le<std::uint32_t>(b, entry::kFree, free_count);
    put_le<std::uint32_t>(b, entry::kFirstFree, first_free);
    return out;
}

} // namespace dsb
