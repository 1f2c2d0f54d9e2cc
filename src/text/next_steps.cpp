#include "text/next_steps.h"

#include "text/messages.h"
#include "text/start_text.h"

#include <cstring>

namespace ds {
namespace {

std::string segments(const VolumeMember& m) {
    if (m.first_segment == m.last_segment) return "segment " + std::to_string(m.first_segment);
    return "segments " + std::to_string(m.first_segment) + "-" + std::to_string(m.last_segment);
}

} // namespace

std::string add_disk_next_step(AddDiskRefusal why, const std::string& shown, const VolumeMember& refused,
                               const VolumeMember* before, const std::string& holder, const std::string& detect) {
    switch (why) {
    case AddDiskRefusal::not_first:
        return shown + " holds " + segments(refused) + " of its volume, not segment 0: give first " +
               (holder.empty() ? "the disk that holds segment 0 (" + detect + " finds it)"
                               : holder + ", which holds segment 0");
    case AddDiskRefusal::not_continuous: {
        if (!before) break;
        const std::string next = std::to_string(int64_t{before->last_segment} + 1);
        if (before->device == refused.device && before->start_sector == refused.start_sector)
            return shown + " is given twice: give next the disk that holds segment " + next;
        return shown + " starts at segment " + std::to_string(refused.first_segment) + ", but " + before->device +
               " before it ends at segment " + std::to_string(before->last_segment) +
               ": give the disks in segment order, next the one that holds segment " + next;
    }
    case AddDiskRefusal::mismatch: {
        if (!before) break;
        if (std::memcmp(refused.lvm_uuid, before->lvm_uuid, sizeof refused.lvm_uuid) != 0)
            return shown + " belongs to another volume than " + before->device +
                   ": give only the disks of one datastore";
        return shown + " and " + before->device +
               " disagree on the volume's size, block count or member count: give only the disks of one datastore, "
               "all from the same copy";
    }
    case AddDiskRefusal::none:
    case AddDiskRefusal::not_found:
    case AddDiskRefusal::too_many: break;
    }
    return "";
}

std::string detect_read_next_step(const std::string& shown, const Failure& failure) {
    if (failure.fault == Fault::device_unopenable) return shown + ": cannot be opened" + reason_text(failure.sys_errno);
    if (failure.sys_errno != 0)
        return shown + ": a read where a volume header could start failed" + reason_text(failure.sys_errno) +
               "; image the disk with a rescue tool and give the image instead";
    return shown + ": it ends before the first 10 MiB, where a volume header is looked for";
}

std::string dir_is_file_next_step(const std::string& shown) {
    return shown + " is a file, not a directory: read it with stat or export";
}

std::string dir_unreadable_next_step(const std::string& shown, const Failure& failure) {
    std::string why = failure_reason(failure);
    if (failure.fault == Fault::damaged || why.empty()) why = " (its descriptor is damaged)";
    return shown + ": the directory's descriptor could not be read" + why;
}

std::string not_open_next_step(bool disks_changed, const std::string& browse) {
    return disks_changed ? "the disks changed since the last browse: press " + browse + " to open them again"
                         : "the file system is not open yet: press " + browse + " first";
}

} // namespace ds
