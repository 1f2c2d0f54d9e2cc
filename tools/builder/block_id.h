// Block ids: 32-bit values whose low three bits give the kind.
#pragma once

#include <cstdint>

namespace dsb {

enum class BlockKind : std::uint32_t { None = 0, File = 1, Sub = 2, Pointer = 3, Descriptor = 4 };

constexpr BlockKind blk_kind(std::uint32_t id) { return static_cast<BlockKind>(id & 7u); }

constexpr std::uint32_t fb_build(std::uint32_t n) { return n << 6 | 1u; }
constexpr std::uint32_t fb_number(std::uint32_t id) { return id >> 6; }

constexpr std::uint32_t sb_build(std::uint32_t entry, std::uint32_t item) { return entry << 6 | item << 26 | 2u; }
constexpr std::uint32_t sb_entry(std::uint32_t id) { return (id >> 6) & 0xFFFFFu; }
constexpr std::uint32_t sb_item(std::uint32_t id) { return (id >> 26) & 0x3Fu; }

constexpr std::uint32_t pb_build(std::uint32_t entry, std::uint32_t item) { return entry << 6 | item << 28 | 3u; }
constexpr std::uint32_t pb_entry(std::uint32_t id) { return (id >> 6) & 0x3FFFFFu; }
constexpr std::uint32_t pb_item(std::uint32_t id) { return (id >> 28) & 0xFu; }

constexpr std::uint32_t fd_build(std::uint32_t entry, std::uint32_t item) { return entry << 6 | item << 22 | 4u; }
constexpr std::uint32_t fd_entry(std::uint32_t id) { return (id >> 6) & 0x7FFFu; }
constexpr std::uint32_t fd_item(std::uint32_t id) { return (id >> 22) & 0x3FFu; }

// Widest item index each kind of id can carry; bitmap geometries must respect it.
inline constexpr std::uint32_t kSubItemLimit = 64;
inline constexpr std::uint32_t kPointerItemLimit = 16;
inline constexpr std::uint32_t kDescriptorItemLimit = 1024;
inline constexpr std::uint32_t kSubEntryLimit = 1u << 20;
inline constexpr std::uint32_t kPointerEntryLimit = 1u << 22;
inline constexpr std::uint32_t kDescriptorEntryLimit = 1u << 15;
inline constexpr std::uint32_t kFileBlockLimit = 1u << 26;

} // namespace dsb
