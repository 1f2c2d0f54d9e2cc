#include "text/messages.h"

#include <cstring>

namespace ds {

const char* add_disk_message(AddDiskRefusal why) {
    switch (why) {
    case AddDiskRefusal::none: return "";
    case AddDiskRefusal::not_found: return "vlm not find";
    case AddDiskRefusal::not_first: return "vlm is not first disk ";
    case AddDiskRefusal::mismatch: return "vlm  disk information mismatch ";
    case AddDiskRefusal::not_continuous: return "vlm  disk not continue ";
    case AddDiskRefusal::too_many: return "vlm  too many disks (at most 32)";
    }
    return "";
}

const char* open_message(OpenFailure why) {
    switch (why) {
    case OpenFailure::none: return "";
    case OpenFailure::no_disks: return "please set disks first";
    case OpenFailure::fsinfo_unreadable: return "fs info read error";
    case OpenFailure::fdc_unopenable: return "fdc open error";
    case OpenFailure::root_unreadable: return "root_dir open error";
    case OpenFailure::fbb_unopenable: return "fbb open error";
    case OpenFailure::pbc_unopenable: return "pbc open error";
    case OpenFailure::sbc_unopenable: return "sbc open error";
    }
    return "";
}

const char* scan_end_message(ScanEnd end) {
    switch (end) {
    case ScanEnd::finished: return "finish";
    case ScanEnd::bitmap_read_failed: return "bitmap entry read error, scan stopped early";
    case ScanEnd::descriptor_read_failed: return "rinode get error";
    case ScanEnd::cancelled: return "scan cancelled";
    case ScanEnd::not_open: return "please view file first";
    case ScanEnd::fdc_missing: return "fdc open error";
    case ScanEnd::sbc_missing: return "sbc open error";
    case ScanEnd::pbc_missing: return "pbc open error";
    case ScanEnd::row_limit: return "too many rows found, scan stopped early";
    }
    return "";
}

std::string errno_text(int sys_errno) {
    char buf[256];
    // The GNU strerror_r returns the text, not always in buf.
    return ::strerror_r(sys_errno, buf, sizeof buf);
}

std::string reason_text(int sys_errno) { return sys_errno == 0 ? "" : " (" + errno_text(sys_errno) + ")"; }

std::string folder_refusal_message(FolderRefusal why, const std::string& path, int sys_errno) {
    switch (why) {
    case FolderRefusal::none: return "";
    case FolderRefusal::no_destination: return "no destination directory given";
    case FolderRefusal::source_unreadable: return "the source's descriptor cannot be read";
    case FolderRefusal::destination_not_created: return "cannot create " + path + ": " + errno_text(sys_errno);
    case FolderRefusal::destination_not_opened: return "cannot open " + path + ": " + errno_text(sys_errno);
    case FolderRefusal::no_parent: return path + " has no directory above it to hold the manifest";
    case FolderRefusal::not_directory: return path + " exists and is not a directory";
    case FolderRefusal::not_empty: return path + " is not empty";
    case FolderRefusal::manifest_exists: return "refusing to replace the manifest " + path;
    case FolderRefusal::manifest_not_replaceable: return "refusing to replace " + path + ", which is not a manifest";
    case FolderRefusal::on_input: return "refusing to write to " + path + ", on a disk being read";
    }
    return "";
}

const char* extent_kind_text(Extent::Kind kind) {
    switch (kind) {
    case Extent::Kind::data: return "data";
    case Extent::Kind::hole: return "hole";
    case Extent::Kind::inline_data: return "inline";
    case Extent::Kind::invalid: return "invalid";
    case Extent::Kind::unaddressable: return "unaddressable";
    }
    return "";
}

} // namespace ds
