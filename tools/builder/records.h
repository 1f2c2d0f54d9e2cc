// Encoders for the fixed-size records: file descriptor, directory entry,
// file-system descriptor and a virtual disk's master boot record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "layout.h"
#include "volume.h"

namespace dsb {

struct DescriptorFields {
    std::uint32_t magic = layout::kDescriptorMagic;
    std::uint32_t id = 0; // the descriptor's own block id (0 in a never-used slot)
    std::uint32_t type = layout::kTypeRegular;
    std::int64_t size = 0;
    std::int64_t block_size = 0;
    std::int64_t block_count = 0;
    std::uint32_t create_time = 0;
    std::uint32_t update_time = 0;
    std::uint32_t atime = 0;
    std::uint32_t addr_mode = layout::kAddrFileBlocks;
    std::array<std::uint32_t, layout::kBlockSlots> blocks{};
    // When set, these bytes fill 0x400..0x7FF instead of `blocks`.
    std::optional<std::array<std::uint8_t, layout::kInlineMax>> inline_data;
};

std::vector<std::uint8_t> encode_descriptor(const DescriptorFields& d);

// Names longer than 128 bytes are refused; exactly 128 bytes get no NUL.
std::array<std::uint8_t, layout::kDirentSize> encode_dirent(std::uint32_t type, std::uint32_t block_id,
                                                            std::uint32_t record_id, std::string_view name);

struct FsDescriptorFields {
    std::uint32_t magic = layout::kFsMagic;
    std::uint32_t version = 0x0003000F;
    Uuid uuid{};
    std::string_view label = "datastore1";
    std::int64_t block_size = 0;
    std::int32_t fdc_header_size = 0;
    std::int32_t fdc_bitmap_count = 0;
    std::int32_t sub_block_size = 0;
};

std::vector<std::uint8_t> encode_fs_descriptor(const FsDescriptorFields& f);

struct PartitionEntry {
    std::uint8_t type = 0;
    std::uint32_t start_lba = 0;
    std::uint32_t sectors = 0;
    bool bootable = false;
};

// A 512-byte MBR: `boot` gives the first three bytes (33 C0 8E, EB 48 90 or
// FA 33 C0 are what a scanner accepts), then the table at 0x1BE and,
// unless `signature` says otherwise, 55 AA at 510.
std::vector<std::uint8_t> make_mbr(std::array<std::uint8_t, 3> boot, const std::vector<PartitionEntry>& table,
                                   std::array<std::uint8_t, 2> signature = {0x55, 0xAA});

} // namespace dsb
