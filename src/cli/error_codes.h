#pragma once
// The stable identifiers a JSON failure carries as "code" beside its text:
// scripts branch on these, never on the words, which stay the system's own.
// Once published a code keeps its meaning; new failures get new codes.

#include "vmfs/datastore.h"

namespace dscli {

inline constexpr const char* kCodeFailed = "failed";   // no more precise code
inline constexpr const char* kCodeUsage = "usage";
inline constexpr const char* kCodeNoDatastore = "no_datastore";   // no -d given
inline constexpr const char* kCodeDirOpen = "dir_open_error";
inline constexpr const char* kCodeFileOpen = "file_open_error";
inline constexpr const char* kCodeFileSave = "file_save_error";
inline constexpr const char* kCodeReadSector = "read_sector_error";
inline constexpr const char* kCodeNoFirstSegment = "first_segment_not_found";
inline constexpr const char* kCodeSeveralFirst = "several_first_segments";
inline constexpr const char* kCodeDiskRead = "disk_read_error";
inline constexpr const char* kCodeCancelled = "cancelled";
inline constexpr const char* kCodeUnreadable = "unreadable_bytes";
inline constexpr const char* kCodeMapfile = "mapfile_refused";
inline constexpr const char* kCodeMount = "mount_error";
inline constexpr const char* kCodeInternal = "internal_error";

// volume_not_found, volume_not_first_disk, volume_mismatch,
// volume_not_continuous, too_many_disks.
const char* add_disk_code(ds::AddDiskRefusal why);
// no_datastore, fs_info_read_error, fdc_open_error, root_dir_open_error,
// fbb_open_error, pbc_open_error, sbc_open_error.
const char* open_code(ds::OpenFailure why);
// bitmap_read_error, descriptor_read_error, cancelled, not_open,
// fdc_open_error, sbc_open_error, pbc_open_error, row_limit.
const char* scan_end_code(ds::ScanEnd end);

} // namespace dscli
