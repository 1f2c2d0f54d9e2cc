#pragma once
// What a virtual disk's own contents say about it: its length, and
// structures that name their own place in the disk, so that a block found
// holding one is known to belong there. Read from the disk's first pointer
// block; every value read is checked before it is used.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ds {

struct Witness {
    enum class Kind { ext_superblock, gpt_backup_header };
    Kind kind = Kind::ext_superblock;
    int64_t offset = 0;            // disk offset of the structure
    uint32_t number = 0;           // ext: the block group it names
    std::array<uint8_t, 16> id{};  // ext: the file system's UUID; GPT: the disk GUID
    uint32_t blocks_per_group = 0;
    int64_t bytes = 1024;          // what its check looks at (at most kWitnessBytes)
    std::string detail;            // for the report
};
inline constexpr int64_t kWitnessBytes = 1024;   // what a check looks at

struct GuestLayout {
    int64_t length = 0;            // bytes the guest's structures reach; 0: unknown
    std::vector<Witness> witnesses;
};

// Reads len bytes at disk offset off; false when they cannot be read.
using GuestReader = std::function<bool(int64_t off, uint8_t* out, int64_t len)>;

// max_length bounds what the disk can hold (the block list's reach); no
// witness past it is made, and their count stays below max_witnesses.
GuestLayout read_guest_layout(const GuestReader& read, int64_t max_length, size_t max_witnesses = 1 << 16);

// Whether the w.bytes bytes at w.offset hold the structure w expects.
bool witness_holds(const Witness& w, const uint8_t* bytes);

uint32_t crc32_ieee(const uint8_t* data, size_t len, uint32_t crc = 0);

} // namespace ds
