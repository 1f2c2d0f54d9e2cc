#pragma once
// The texts under which the disk settings and the shell show a drive.

#include "disk/drive_list.h"

#include <cstdint>
#include <string>

namespace ds {

// "xx.xx MB)" below 1000 MB, "xx.xx GB)" from there on; MB = sectors / 2048.
std::string drive_size_text(int64_t total_sectors);

// The menu text of a drive: "本地磁盘 n (size) " for a fixed drive,
// "可移动存储 n (size) " for a removable one (with the trailing blank).
std::string drive_item_text(const DriveInfo& drive);
// Its kind as a code in no language, for JSON: "local_disk" or "removable_storage".
const char* drive_kind_code(const DriveInfo& drive);

// True for a menu text of a fixed drive (the automatic detection scans those).
bool is_fixed_drive_text(const std::string& item_text);

} // namespace ds
