#pragma once
// The columns of the recovered-file list, as the window shows them and the
// command line prints them.

#include "vmfs/datastore.h"

#include <array>
#include <cstdint>
#include <string>

namespace ds {

// The size range an addressing mode implies for a block size: ">=1MB,<256MB".
std::string size_class_text(int64_t block_size, uint32_t addr_mode);

// SN, ID (blank), type ("FILE", or "DIR" for a deleted directory), size class and the three times.
std::array<std::string, 7> file_row_cells(const FileRow& row);

// Where a deleted item's name puts it: its path, or below a deleted
// directory that nothing names "$deleted/<id>/..." (the form nameless
// deleted files take in timelines).
std::string deleted_path_text(const DeletedName& name);

// "NTFS", "FAT32", ... for a partition type of a master boot record.
std::string partition_type_text(uint8_t type);
// The same type as a code in no language ("linux_swap"), for JSON.
const char* partition_type_code(uint8_t type);
// The codes of a row's types, joined as the type column joins its texts.
std::string partition_type_codes(const PartitionRow& row);

// SN, ID (blank), the partition types joined by "|" and the size in whole GiB.
std::array<std::string, 4> partition_row_cells(const PartitionRow& row);

} // namespace ds
