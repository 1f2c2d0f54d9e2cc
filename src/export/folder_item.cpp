#include "export/folder_item.h"

namespace ds {

const char* folder_status_text(FolderItemStatus s) {
    switch (s) {
    case FolderItemStatus::ok: return "ok";
    case FolderItemStatus::partial: return "partial";
    case FolderItemStatus::failed: return "failed";
    case FolderItemStatus::not_followed: return "not followed";
    case FolderItemStatus::incomplete: return "incomplete";
    case FolderItemStatus::cancelled: return "cancelled";
    case FolderItemStatus::partly_unreadable: return "partly unreadable";
    }
    return "";
}

const char* rename_detail(FolderItemWhy why) {
    switch (why) {
    case FolderItemWhy::name_taken: return "name taken by another entry; renamed";
    case FolderItemWhy::name_shortened: return "name too long for the host; shortened";
    case FolderItemWhy::name_encoded: return "name encoded for the host";
    default: return "";
    }
}

std::string copy_failure_detail(const ExportResult& r) {
    const std::string after = std::to_string(r.bytes_written) + " bytes";
    switch (r.failure) {
    case ExportFailure::create: return "cannot create the host file";
    case ExportFailure::read: return "a read of the datastore failed after " + after;
    case ExportFailure::write: return "cannot write the host file";
    case ExportFailure::negative_size: return "the descriptor gives a negative size";
    case ExportFailure::destination_is_input: return "the host file is a disk being read";
    case ExportFailure::destination_is_device: return "the host file is a block device";
    case ExportFailure::cancelled: return "cancelled after " + after;
    case ExportFailure::past_addressable: return "its size reaches past what its block list can address; stopped after " + after;
    case ExportFailure::past_volume: return "it holds more data than the logical volume can; stopped after " + after;
    case ExportFailure::exists: return "something is already at the host file's name";
    case ExportFailure::unreadable_sink: return "the record of unreadable ranges could not be written";
    case ExportFailure::none: break;
    }
    return "";
}

} // namespace ds
