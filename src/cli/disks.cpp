#include "disks.h"
#include "vmfs/datastore.h"

#include "error_codes.h"
#include "output.h"

#include "text/info_text.h"
#include "text/messages.h"
#include "text/next_steps.h"
#include "text/start_text.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dscli {
namespace {

bool parse_int64(const std::string& s, int64_t& v) {
    if (s.empty()) return false;
    const char* b = s.data();
    const char* e = b + s.size();
    auto [p, ec] = std::from_chars(b, e, v);
    return ec == std::errc() && p == e;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

bool parse_disk_spec(const std::string& text, DiskSpec& out, std::string* error) {
    size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0) {
        out = {text, kDefaultStartSector};
        return true;
    }
    std::string sector = text.substr(at + 1);
    int64_t v = 0;
    // A sector whose byte offset does not fit in 64 bits names no place on
    // any disk: malformed, like a negative one.
    const bool number = parse_int64(sector, v);
    if (number && v >= 0 && v <= INT64_MAX / 512) {
        out = {text.substr(0, at), v, true};
        return true;
    }
    // A path that itself holds an "@" stays whole.
    if (exists(text)) {
        out = {text, kDefaultStartSector};
        return true;
    }
    const std::string shown = "start sector '" + shown_path(sector) + "' of '" + shown_path(text) + "'";
    if (error) *error = shown + (!number ? " is not a whole number" : v < 0 ? " is negative" : " is too large");
    return false;
}

namespace {

// Why what st describes is not a disk or an image; nullptr for a regular file
// or a block device, the only kinds read without waiting on a writer.
const char* not_a_disk(const struct stat& st) {
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return nullptr;
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (S_ISFIFO(st.st_mode)) return "a named pipe, not a disk or an image";
    return "not a disk or an image";
}

} // namespace

bool readable_as_disk(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return true;   // let the open fail as it will
    return not_a_disk(st) == nullptr;
}

std::string disk_unreadable_reason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (const char* why = not_a_disk(st)) return why;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return "";
}

namespace {

// Among the other disks given, the one holding segment 0 of the refused
// disk's volume, as PATH@SECTOR; "" when none does. Read only after a refusal.
std::string segment_zero_holder(const ds::Datastore& store, const ds::VolumeMember& refused,
                                const std::vector<DiskSpec>& disks) {
    std::vector<std::string> others;
    for (const DiskSpec& d : disks)
        if (d.path != refused.device && readable_as_disk(d.path)) others.push_back(d.path);
    for (const ds::VolumeMember& c : store.detect(others).candidates)
        if (c.first_segment == 0 && std::memcmp(c.lvm_uuid, refused.lvm_uuid, sizeof c.lvm_uuid) == 0)
            return shown_path(c.device) + "@" + std::to_string(c.start_sector);
    return "";
}

int refuse_disk(const ds::Datastore& store, ds::AddDiskRefusal why, const DiskSpec& d,
                const std::vector<DiskSpec>& disks) {
    const int rc = fail(add_disk_code(why), ds::add_disk_message(why));
    const ds::LogicalVolume& lvm = store.volume();
    const int k = lvm.loaded_extents;
    if (k < 0 || k > ds::kMaxExtents) return rc;
    // add_disk leaves the refused disk's header in the slot after the last member.
    ds::VolumeMember refused = lvm.volumes[k];
    refused.device = d.path;
    const ds::VolumeMember* before = k > 0 ? &lvm.volumes[k - 1] : nullptr;
    const std::string holder =
        why == ds::AddDiskRefusal::not_first ? segment_zero_holder(store, refused, disks) : std::string();
    std::string detect = "datumsift detect";
    for (const DiskSpec& other : disks) detect += " " + shown_path(other.path);
    const std::string next = ds::add_disk_next_step(why, shown_path(d.path), refused, before, holder, detect);
    if (!next.empty()) fail(next);
    return rc;
}

} // namespace

int add_disks(ds::Datastore& store, const std::vector<std::string>& specs) {
    std::vector<DiskSpec> disks;
    for (const std::string& text : specs) {
        DiskSpec d;
        std::string error;
        if (!parse_disk_spec(text, d, &error)) return usage_error(error);
        disks.push_back(d);
    }
    for (const DiskSpec& d : disks) {
        // Opening a pipe or a terminal would wait for a writer forever; such
        // a path holds no volume header.
        // The disk settings' own text, then what the system said.
        const std::string reason = disk_unreadable_reason(d.path);
        if (!reason.empty()) {
            int rc = fail(add_disk_code(ds::AddDiskRefusal::not_found), ds::add_disk_message(ds::AddDiskRefusal::not_found));
            fail(shown_path(d.path) + ": " + reason);
            return rc;
        }
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        if (d.sector_given) {
            why = store.add_disk(d.path, d.start_sector);
        } else {
            const ds::StartSearch found = store.find_start(d.path);
            if (found.from == ds::StartFrom::none) {
                const int rc =
                    fail(add_disk_code(ds::AddDiskRefusal::not_found), ds::add_disk_message(ds::AddDiskRefusal::not_found));
                fail(ds::start_not_found_hint(shown_path(d.path), found));
                return rc;
            }
            why = store.add_disk(d.path, found.sector, found.from);
        }
        if (why != ds::AddDiskRefusal::none) return refuse_disk(store, why, d, disks);
    }
    const std::string warning = ds::degraded_warning(store.missing_segments());
    if (!warning.empty()) notice(warning);
    return kExitOk;
}

int open_file_system(ds::Datastore& store, std::vector<std::string>* pane, std::string* message) {
    ds::OpenOutcome o = store.open();
    if (pane && o.pane_filled) *pane = ds::info_lines(store.volume(), store.fs_params());
    const std::string text = ds::open_message(o.failure);
    if (message) *message = text;
    if (o.failure == ds::OpenFailure::none) return kExitOk;
    // No disk given is a mistake in the command line, not in the disks.
    if (o.failure == ds::OpenFailure::no_disks) {
        const int rc = usage_error(kCodeNoDatastore, text);
        usage_error(kCodeNoDatastore, "give the datastore's disks with -d PATH[@SECTOR] before the command");
        return rc;
    }
    const int rc = fail(open_code(o.failure), text);
    // What the system said about a disk that could not be read.
    if (o.read_failure.sys_errno != 0) fail(kCodeDiskRead, "a read of a disk failed" + ds::reason_text(o.read_failure.sys_errno));
    return rc;
}

int open_datastore(ds::Datastore& store, const std::vector<std::string>& specs) {
    int rc = add_disks(store, specs);
    if (rc != kExitOk) return rc;
    return open_file_system(store);
}

} // namespace dscli
