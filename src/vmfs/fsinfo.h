#pragma once
// The file-system descriptor at 2 MiB into the logical volume.

#include <cstdint>

namespace ds {

struct Store;

inline constexpr int64_t kFsInfoOffset = 0x200000;
inline constexpr uint32_t kFsInfoMagic = 0x2FABF15E;
inline constexpr int64_t kFdcBase = 4194304;
inline constexpr uint32_t kDescriptorMagic = 0x10C00001;
// Largest block size accepted: a block must not straddle a 256 MiB segment.
inline constexpr int64_t kMaxBlockSize = 0x10000000;

struct FsInfo {
    uint8_t magic[4] = {};
    uint8_t version[4] = {};          // 0x04
    uint8_t flags = 0;                // 0x08
    uint8_t field_19[4] = {};         // 0x19, stored before the 0x09 field
    uint8_t fs_uuid[16] = {};         // 0x09
    uint8_t label[128] = {};          // 0x1D
    uint8_t field_a9[4] = {};         // 0xA9
    int64_t blocksize = 0;            // 0xA1
    int32_t subblocksize = 0;         // 0xD9
    int32_t fdcheader_size = 0;       // 0xD1
    int32_t fdcbitmap_count = 0;      // 0xD5
    uint8_t field_ad[16] = {};        // 0xAD
};

// False when the descriptor cannot be read, its magic is wrong or
// its block size is not a power of two between 512 bytes and 256 MiB (every
// block addressing divides by it). The record is untouched on failure.
bool fsinfo_read(Store& store, FsInfo& info);

// File block that holds the start of ".fdc.sf" before the root is known.
uint32_t provisional_fdc_block(int64_t blocksize);

} // namespace ds
