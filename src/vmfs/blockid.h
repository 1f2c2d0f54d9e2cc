#pragma once
// Block ids: a 32-bit value whose bits 0-2 give the kind of block it names.
// The build functions do not mask: callers pass values that fit their field.

#include "vmfs/datastore.h"
#include <cstdint>

namespace ds {

inline constexpr uint32_t kBlockFile = 1;
inline constexpr uint32_t kBlockSub = 2;
inline constexpr uint32_t kBlockPointer = 3;
inline constexpr uint32_t kBlockDescriptor = 4;

constexpr uint32_t blkid_type(uint32_t id) { return id & 7u; }

constexpr uint32_t fb_build(uint32_t n) { return (n << 6) | 1u; }
constexpr uint32_t fb_item(uint32_t id) { return id >> 6; }

constexpr uint32_t sb_build(uint32_t entry, uint32_t item) { return (entry << 6) | (item << 26) | 2u; }
constexpr uint32_t sb_entry(uint32_t id) { return (id >> 6) & 0xFFFFFu; }
constexpr uint32_t sb_item(uint32_t id) { return (id >> 26) & 0x3Fu; }

constexpr uint32_t pb_entry(uint32_t id) { return (id >> 6) & 0x3FFFFFu; }
constexpr uint32_t pb_item(uint32_t id) { return (id >> 28) & 0xFu; }

constexpr uint32_t fd_build(uint32_t entry, uint32_t item) { return (entry << 6) | (item << 22) | 4u; }
constexpr uint32_t fd_entry(uint32_t id) { return (id >> 6) & 0x7FFFu; }
constexpr uint32_t fd_item(uint32_t id) { return (id >> 22) & 0x3FFu; }

} // namespace ds
