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
    enum class Kind {
        ext_superblock,         // a backup naming its block group
        ext_group_descriptors,  // a backup copy of the descriptor table, checksummed per group
        gpt_backup_header,
        same_bytes,             // a copy of bytes read near the disk's start
        ntfs_mft_record,        // a FILE record carrying its own number
        lvm_metadata_header,    // naming its own offset in the physical volume
    };
    Kind kind = Kind::ext_superblock;
    int64_t offset = 0;            // disk offset of the structure
    uint32_t number = 0;           // ext: the block group it names (descriptors: the first); NTFS: the record
    std::array<uint8_t, 16> id{};  // ext: the file system's UUID; GPT: the disk GUID
    uint32_t blocks_per_group = 0;
    uint32_t seed = 0;             // ext descriptors: checksum seed
    uint16_t desc_size = 0;        // ext descriptors: bytes each; NTFS: record bytes
    uint8_t checksum = 0;          // ext descriptors: 1 crc16, 2 crc32c
    uint32_t count = 0;            // ext descriptors: how many the bytes hold
    uint64_t named = 0, size = 0;  // LVM: the offset the header gives for itself, and the area's size
    std::vector<uint8_t> expect;   // same_bytes: what must be there
    // False when copies of the structure stand at other places too: such a
    // witness places a block only where no other open position could take it.
    bool names_place = true;
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
// Castagnoli, without the final inversion of either end (as ext4 chains it).
uint32_t crc32c_raw(uint32_t crc, const uint8_t* data, size_t len);

} // namespace ds
