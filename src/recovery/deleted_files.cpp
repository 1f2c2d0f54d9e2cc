#include "recovery/deleted_files.h"

#include "recovery/item_window.h"
#include "vmfs/le.h"

#include "vmfs/blockid.h"
#include "vmfs/fs.h"

#include <cstdio>

namespace ds {
namespace {

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

// Proleptic Gregorian date of a day count from 1970-01-01; exact for
// negative counts too, so times before 1970 need no special case.
CivilDate civil_from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

} // namespace

std::string format_unix_time(int32_t t) {
    constexpr int64_t kDay = 86400;
    int64_t days = t / kDay;
    int64_t secs = t % kDay;
    if (secs < 0) {   // floor, so that -1 is the last second of the day before
        secs += kDay;
        --days;
    }
    CivilDate c = civil_from_days(days);
    char out[40];
    std::snprintf(out, sizeof out, "%04lld-%02u-%02u %02lld:%02lld:%02lld", static_cast<long long>(c.year), c.month,
                  c.day, static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                  static_cast<long long>(secs % 60));
    return out;
}

std::string size_class_text(const tvmfs_inode& inode) {
    const int64_t b = fs_state().fsinfo.blocksize;
    // In floating point as the list has always shown them: the block size is
    // at most 256 MiB, so both quotients are exact before truncation.
    const auto m = static_cast<int64_t>(static_cast<double>(b) / 1048576.0);
    const auto l = static_cast<int64_t>(256.0 * static_cast<double>(b) / 1048576.0);
    switch (inode.addr_mode) {
    case 1: return ">=" + std::to_string(m) + "MB,<" + std::to_string(l) + "MB";
    case 2: return ">=1024byte ,<" + std::to_string(b) + "byte";
    case 3: return ">=" + std::to_string(l) + "MB";
    default: return "<1024byte";
    }
}

FileRow make_file_row(const tvmfs_inode& inode, int n, uint32_t descriptor_id) {
    FileRow r;
    r.n = n;
    r.sn = std::to_string(n);
    r.size = size_class_text(inode);
    r.create_at = format_unix_time(inode.create_time);
    r.update_at = format_unix_time(inode.update_time);
    r.atime = format_unix_time(inode.atime);
    r.descriptor_id = descriptor_id;
    return r;
}

ScanEnd scan_deleted_files(const ScanProgress& progress, const std::function<void(const FileRow&)>& row) {
    if (ScanEnd pre = scan_precondition(kFoundFdc); pre != ScanEnd::finished) return pre;
    int n = 1;
    ItemWindow slots(fs_state().fdc);
    auto visit = [&](uint32_t entry, uint32_t item) {
        const uint32_t f = fd_build(entry, item);
        const uint8_t* raw = slots.descriptor(fd_entry(f), fd_item(f));
        if (!raw) return Visit::end_command;
        // A slot that still names itself and still holds a regular file; a
        // never-used slot carries id 0, and directories and system files are
        // not offered here. Only such a slot is parsed whole.
        const std::span<const uint8_t> bytes(raw, kDescriptorBytes);
        if (load_le<uint32_t>(bytes, kDescriptorIdOffset) == f && load_le<uint32_t>(bytes, kDescriptorTypeOffset) == kTypeRegular) {
            tvmfs_inode inode;
            inode_parse(inode, {raw, kDescriptorBytes});
            if (row) row(make_file_row(inode, n, f));
            ++n;
        }
        return Visit::next;
    };
    return scan_free_items(fs_state().fdc, visit, &progress, EntryFailure::end_scan, &slots);
}

} // namespace ds
