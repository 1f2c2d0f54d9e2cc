// On-disk constants of a VMFS-3 datastore, as the builder writes them.
// Offsets are byte offsets inside the structure named by the namespace.
#pragma once

#include <cstdint>

namespace dsb::layout {

inline constexpr std::uint64_t kMiB = 1ull << 20;
inline constexpr std::uint64_t kSectorSize = 512;

// Member disk: offsets from the start of the VMFS partition.
inline constexpr std::uint64_t kVolumeHeaderOffset = 0x100000;
inline constexpr std::uint64_t kVolumeHeaderSize = 1024;
inline constexpr std::uint64_t kDataAreaOffset = 0x1100000; // header + 16 MiB
inline constexpr std::uint64_t kSegmentSize = 0x10000000;   // 256 MiB
inline constexpr std::uint32_t kVolumeMagic = 0xC001D00D;
inline constexpr int kMaxMembers = 32;

namespace vh {
inline constexpr std::uint32_t kMagic = 0x000;
inline constexpr std::uint32_t kVersion = 0x004;
inline constexpr std::uint32_t kLun = 0x00E;
inline constexpr std::uint32_t kName = 0x012;
inline constexpr std::uint32_t kNameLen = 28;
inline constexpr std::uint32_t kSize = 0x05F; // 7 bytes, units of 256 bytes
inline constexpr std::uint32_t kSizeLen = 7;
inline constexpr std::uint32_t kUuid = 0x082;
inline constexpr std::uint32_t kLvmSize = 0x200;
inline constexpr std::uint32_t kLvmBlocks = 0x208;
inline constexpr std::uint32_t kLvmUuid = 0x254;
inline constexpr std::uint32_t kNumSegments = 0x274;
inline constexpr std::uint32_t kFirstSegment = 0x278;
inline constexpr std::uint32_t kLastSegment = 0x280;
inline constexpr std::uint32_t kNumExtents = 0x290;
} // namespace vh

// File-system descriptor: logical-volume offset 2 MiB.
inline constexpr std::uint64_t kFsDescriptorOffset = 0x200000;
inline constexpr std::uint64_t kFsDescriptorSize = 512;
inline constexpr std::uint32_t kFsMagic = 0x2FABF15E; // bytes 5E F1 AB 2F
inline constexpr std::uint64_t kFdcBase = 4 * kMiB;   // .fdc.sf starts near here

namespace fs {
inline constexpr std::uint32_t kMagic = 0x00;
inline constexpr std::uint32_t kVersion = 0x04;
inline constexpr std::uint32_t kUuid = 0x09;  // 16 bytes
inline constexpr std::uint32_t kLabel = 0x1D; // 128 bytes
inline constexpr std::uint32_t kLabelLen = 128;
inline constexpr std::uint32_t kBlockSize = 0xA1;      // int64
inline constexpr std::uint32_t kFdcHeaderSize = 0xD1;  // int32
inline constexpr std::uint32_t kFdcBitmapCount = 0xD5; // int32
inline constexpr std::uint32_t kSubBlockSize = 0xD9;   // int32
} // namespace fs

// Bitmap system files.
inline constexpr std::uint32_t kBitmapHeaderSize = 28; // seven int32
inline constexpr std::uint32_t kBitmapEntrySize = 1024;
inline constexpr std::uint32_t kBitmapBytes = 496;
inline constexpr std::uint32_t kMaxItemsPerEntry = kBitmapBytes * 8;

namespace entry {
inline constexpr std::uint32_t kMagic = 0x000;
inline constexpr std::uint32_t kId = 0x200;
inline constexpr std::uint32_t kTotal = 0x204;
inline constexpr std::uint32_t kFree = 0x208;
inline constexpr std::uint32_t kFirstFree = 0x20C;
inline constexpr std::uint32_t kBitmap = 0x210;
} // namespace entry

// File descriptor: one 2048-byte item of .fdc.sf.
inline constexpr std::uint32_t kDescriptorSize = 2048;
inline constexpr std::uint32_t kDescriptorMagic = 0x10C00001;
inline constexpr std::uint32_t kBlockSlots = 256;
inline constexpr std::uint32_t kInlineMax = 1024;

namespace fd {
inline constexpr std::uint32_t kMagic = 0x000;
inline constexpr std::uint32_t kId = 0x200;
inline constexpr std::uint32_t kType = 0x20C;
inline constexpr std::uint32_t kSize = 0x214;
inline constexpr std::uint32_t kBlockSize = 0x21C;
inline constexpr std::uint32_t kBlockCount = 0x224;
inline constexpr std::uint32_t kCreateTime = 0x22C;
inline constexpr std::uint32_t kUpdateTime = 0x230;
inline constexpr std::uint32_t kAccessTime = 0x234;
inline constexpr std::uint32_t kAddrMode = 0x244;
inline constexpr std::uint32_t kBlocks = 0x400; // 256 ids, or inline content
} // namespace fd

inline constexpr std::uint32_t kTypeDirectory = 2;
inline constexpr std::uint32_t kTypeRegular = 3;
inline constexpr std::uint32_t kTypeSystem = 5;
inline constexpr std::uint32_t kTypeSymlink = 6;

inline constexpr std::uint32_t kAddrInline = 0; // content in the descriptor
inline constexpr std::uint32_t kAddrFileBlocks = 1;
inline constexpr std::uint32_t kAddrSubBlocks = 2;
inline constexpr std::uint32_t kAddrPointerBlocks = 3;

// Directory entry.
inline constexpr std::uint32_t kDirentSize = 140;
namespace dirent {
inline constexpr std::uint32_t kType = 0;
inline constexpr std::uint32_t kBlockId = 4;
inline constexpr std::uint32_t kRecordId = 8;
inline constexpr std::uint32_t kName = 12;
inline constexpr std::uint32_t kNameLen = 128;
} // namespace dirent

inline constexpr std::uint32_t kRootId = 4; // descriptor entry 0, item 0

// Master boot record inside a virtual disk's first block.
inline constexpr std::uint32_t kMbrTable = 0x1BE;
inline constexpr std::uint32_t kMbrEntrySize = 16;

} // namespace dsb::layout
