#include "text/row_text.h"

#include "text/time_text.h"

namespace ds {

std::string size_class_text(int64_t block_size, uint32_t addr_mode) {
    const int64_t b = block_size;
    // In floating point as the list has always shown them: the block size is
    // at most 256 MiB, so both quotients are exact before truncation.
    const auto m = static_cast<int64_t>(static_cast<double>(b) / 1048576.0);
    const auto l = static_cast<int64_t>(256.0 * static_cast<double>(b) / 1048576.0);
    switch (addr_mode) {
    case 1: return ">=" + std::to_string(m) + "MB,<" + std::to_string(l) + "MB";
    case 2: return ">=1024byte ,<" + std::to_string(b) + "byte";
    case 3: return ">=" + std::to_string(l) + "MB";
    default: return "<1024byte";
    }
}

std::array<std::string, 7> file_row_cells(const FileRow& row) {
    return {std::to_string(row.n),
            " ",   // the "ID" column stays blank
            row.is_dir ? "DIR" : "FILE",
            size_class_text(row.block_size, row.addr_mode),
            format_unix_time(row.create_time),
            format_unix_time(row.update_time),
            format_unix_time(row.access_time)};
}

std::string deleted_path_text(const DeletedName& name) {
    if (name.unnamed_top == 0) return name.path;
    return "$deleted/" + std::to_string(name.unnamed_top) + "/" + name.path;
}

std::string partition_type_text(uint8_t type) {
    switch (type) {
    case 0x05: return "扩展分区";
    case 0x07: return "NTFS";
    case 0x0C: return "FAT32";
    case 0x0F: return "扩展分区";
    case 0x82: return "LINUX交换";
    case 0x83: return "LINUX";
    default: return "未知";
    }
}

const char* partition_type_code(uint8_t type) {
    switch (type) {
    case 0x05: return "extended";
    case 0x07: return "ntfs";
    case 0x0C: return "fat32";
    case 0x0F: return "extended_lba";
    case 0x82: return "linux_swap";
    case 0x83: return "linux";
    default: return "unknown";
    }
}

std::string partition_type_codes(const PartitionRow& row) {
    std::string codes;
    for (uint8_t t : row.types) codes += (codes.empty() ? "" : "|") + std::string(partition_type_code(t));
    return codes;
}

std::array<std::string, 4> partition_row_cells(const PartitionRow& row) {
    std::string types;
    for (uint8_t t : row.types) types += (types.empty() ? "" : "|") + partition_type_text(t);
    return {std::to_string(row.n), " ", types, std::to_string(row.kib / 1048576) + "GB"};
}

} // namespace ds
