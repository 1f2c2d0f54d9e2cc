#include "error_codes.h"

namespace dscli {

const char* add_disk_code(ds::AddDiskRefusal why) {
    switch (why) {
    case ds::AddDiskRefusal::none: break;
    case ds::AddDiskRefusal::not_found: return "volume_not_found";
    case ds::AddDiskRefusal::not_first: return "volume_not_first_disk";
    case ds::AddDiskRefusal::mismatch: return "volume_mismatch";
    case ds::AddDiskRefusal::not_continuous: return "volume_not_continuous";
    case ds::AddDiskRefusal::too_many: return "too_many_disks";
    }
    return kCodeFailed;
}

const char* open_code(ds::OpenFailure why) {
    switch (why) {
    case ds::OpenFailure::none: break;
    case ds::OpenFailure::no_disks: return kCodeNoDatastore;
    case ds::OpenFailure::fsinfo_unreadable: return "fs_info_read_error";
    case ds::OpenFailure::fdc_unopenable: return "fdc_open_error";
    case ds::OpenFailure::root_unreadable: return "root_dir_open_error";
    case ds::OpenFailure::fbb_unopenable: return "fbb_open_error";
    case ds::OpenFailure::pbc_unopenable: return "pbc_open_error";
    case ds::OpenFailure::sbc_unopenable: return "sbc_open_error";
    }
    return kCodeFailed;
}

const char* scan_end_code(ds::ScanEnd end) {
    switch (end) {
    case ds::ScanEnd::finished: break;
    case ds::ScanEnd::bitmap_read_failed: return "bitmap_read_error";
    case ds::ScanEnd::descriptor_read_failed: return "descriptor_read_error";
    case ds::ScanEnd::cancelled: return kCodeCancelled;
    case ds::ScanEnd::not_open: return "not_open";
    case ds::ScanEnd::fdc_missing: return "fdc_open_error";
    case ds::ScanEnd::sbc_missing: return "sbc_open_error";
    case ds::ScanEnd::pbc_missing: return "pbc_open_error";
    case ds::ScanEnd::row_limit: return "row_limit";
    }
    return kCodeFailed;
}

} // namespace dscli
