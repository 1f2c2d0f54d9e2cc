#pragma once
// Deleted-file recovery: free descriptor slots that still hold a regular file
// naming its own slot.

#include "recovery/scan.h"
#include "vmfs/inode.h"
#include "text/time_text.h"

#include <string>

namespace ds {

// One row of the recovered-file list for a file.
struct FileRow {
    int n = 0;
    std::string sn;                 // n in decimal
    std::string id = " ";           // the "ID" column stays blank
    std::string type = "FILE";
    std::string size;               // size class
    std::string create_at;
    std::string update_at;
    std::string atime;
    int32_t create_time = 0, update_time = 0, access_time = 0;   // the three times as read
    uint32_t descriptor_id = 0;     // kept so that the file can be exported
    int64_t bytes = 0;              // the descriptor's exact size, beside the class
};

// The size range the addressing mode implies, for the file system's block size.
std::string size_class_text(const tvmfs_inode& inode);
// The row AddFileRow appends for descriptor inode as row n.
FileRow make_file_row(const tvmfs_inode& inode, int n, uint32_t descriptor_id);

ScanEnd scan_deleted_files(const ScanProgress& progress, const std::function<void(const FileRow&)>& row);

} // namespace ds
