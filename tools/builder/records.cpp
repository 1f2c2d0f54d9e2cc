#include "records.h"

#include <stdexcept>

#include "le.h"

namespace dsb {

using namespace layout;

std::vector<std::uint8_t> encode_descriptor(const DescriptorFields& d) {
    std::vector<std::uint8_t> out(kDescriptorSize, 0);
    std::span<std::uint8_t> b(out);
    put_le<std::uint32_t>(b, fd::kMagic, d.magic);
    put_le<std::uint32_t>(b, fd::kId, d.id);
    put_le<std::uint32_t>(b, fd::kType, d.type);
    put_le<std::int64_t>(b, fd::kSize, d.size);
    put_le<std::int64_t>(b, fd::kBlockSize, d.block_size);
    put_le<std::int64_t>(b, fd::kBlockCount, d.block_count);
    put_le<std::uint32_t>(b, fd::kCreateTime, d.create_time);
    put_le<std::uint32_t>(b, fd::kUpdateTime, d.update_time);
    put_le<std::uint32_t>(b, fd::kAccessTime, d.atime);
    put_le<std::uint32_t>(b, fd::kAddrMode, d.addr_mode);
    if (d.inline_data) {
        put_bytes(b, fd::kBlocks, *d.inline_data);
    } else {
        for (std::uint32_t i = 0; i < kBlockSlots; ++i) put_le<std::uint32_t>(b, fd::kBlocks + 4 * i, d.blocks[i]);
    }
    return out;
}

std::array<std::uint8_t, kDirentSize> encode_dirent(std::uint32_t type, std::uint32_t block_id, std::uint32_t record_id,
                                                    std::string_view name) {
    std::array<std::uint8_t, kDirentSize> out{};
    std::span<std::uint8_t> b(out);
    put_le<std::uint32_t>(b, dirent::kType, type);
    put_le<std::uint32_t>(b, dirent::kBlockId, block_id);
    put_le<std::uint32_t>(b, dirent::kRecordId, record_id);
    put_text(b, dirent::kName, name, dirent::kNameLen);
    return out;
}

std::vector<std::uint8_t> encode_fs_descriptor(const FsDescriptorFields& f) {
    std::vector<std::uint8_t> out(kFsDescriptorSize, 0);
    std::span<std::uint8_t> b(out);
    put_le<std::uint32_t>(b, fs::kMagic, f.magic);
    put_le<std::uint32_t>(b, fs::kVersion, f.version);
    put_bytes(b, fs::kUuid, f.uuid);
    put_text(b, fs::kLabel, f.label.substr(0, fs::kLabelLen), fs::kLabelLen);
    put_le<std::int64_t>(b, fs::kBlockSize, f.block_size);
    put_le<std::int32_t>(b, fs::kFdcHeaderSize, f.fdc_header_size);
    put_le<std::int32_t>(b, fs::kFdcBitmapCount, f.fdc_bitmap_count);
    put_le<std::int32_t>(b, fs::kSubBlockSize, f.sub_block_size);
    return out;
}

std::vector<std::uint8_t> make_mbr(std::array<std::uint8_t, 3> boot, const std::vector<PartitionEntry>& table,
                                   std::array<std::uint8_t, 2> signature) {
    if (table.size() > 4) throw std::invalid_argument("dsb: an MBR holds four partitions");
    std::vector<std::uint8_t> out(512, 0);
    std::span<std::uint8_t> b(out);
    put_bytes(b, 0, boot);
    for (std::size_t i = 0; i < table.size(); ++i) {
        std::size_t at = kMbrTable + i * kMbrEntrySize;
        put_le<std::uint8_t>(b, at, table[i].bootable ? 0x80 : 0x00);
        put_le<std::uint8_t>(b, at + 4, table[i].type);
        put_le<std::uint32_t>(b, at + 8, table[i].start_lba);
        put_le<std::uint32_t>(b, at + 12, table[i].sectors);
    }
    out[510] = signature[0];
    out[511] = signature[1];
    return out;
}

} // namespace dsb
