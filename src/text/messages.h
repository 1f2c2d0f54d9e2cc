#pragma once
// What the front ends show for the codes the core returns: the disk
// settings' refusals and detection texts, where an opening stopped, how a
// scan ended, the system's reasons, the kinds of a file's extents. The core
// itself shows nothing.

#include "export/folder_refusal.h"
#include "vmfs/datastore.h"

#include <string>

namespace ds {

// The text the disk settings window shows for a refusal ("" for none).
const char* add_disk_message(AddDiskRefusal why);

// The text the disk settings show for a device whose scan could not read.
inline constexpr const char* kDetectReadError = "read 512sec error ";
// The text shown when no candidate holds segment 0.
inline constexpr const char* kDetectNoFirst = "VM  first segment not find";

// The text the browse command shows where an opening stopped ("" for none).
const char* open_message(OpenFailure why);

// The text the front ends show for how a scan ended.
const char* scan_end_message(ScanEnd end);

// The system's own text for an errno: "Input/output error".
std::string errno_text(int sys_errno);
// The system's reason to add to a message: " (Input/output error)", or ""
// when there is none (errno 0).
std::string reason_text(int sys_errno);

// Why a folder export wrote nothing, in words: path is the host path the
// refusal names, sys_errno the host's reason ("" for none).
std::string folder_refusal_message(FolderRefusal why, const std::string& path, int sys_errno);

// "data", "hole", "inline", "invalid" or "unaddressable".
const char* extent_kind_text(Extent::Kind kind);

} // namespace ds
