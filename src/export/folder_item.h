#pragma once
// One item of a folder export: every directory and file met, as the
// manifest lists it and the front ends are told of it.

#include "disk/byte_ranges.h"
#include "export/file_export.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

enum class FolderItemStatus {
    ok,             // copied whole
    partial,        // a read failed: the bytes before it are kept as <name>.partial
    failed,         // nothing could be copied (descriptor unreadable, host refused)
    not_followed,   // a directory reached again (a cycle or a second link): not entered
    incomplete,     // a directory whose listing could not be read to its end
    cancelled,      // the operator stopped the export here
    // With rescue: every readable byte copied, those that could not be read
    // written as zeros (a file), or the entries on them passed over (a
    // directory); unreadable says where.
    partly_unreadable,
};

// Why an item is not "ok", or why its host name differs from its own; the
// detail says it in words for the manifest.
enum class FolderItemWhy {
    none,
    name_taken,              // renamed: another entry has the name
    name_shortened,          // renamed: too long for the host
    name_encoded,            // renamed: percent-encoded for the host
    not_reached,             // the export was cancelled before it
    cycle,                   // not followed: a directory above it
    second_link,             // not followed: copied where it was met first
    too_deep,                // not followed: deeper than the walk goes
    descriptor_unreadable,
    listing_ended_early,     // a read ended its directory's listing
    parent_not_created,      // its host directory could not be created
    host_dir_not_created,    // sys_errno says why (EEXIST: something is in the way)
    host_file_not_created,   // sys_errno says why (EEXIST: something is in the way)
    not_renamed,             // copied whole, but the ".partial" name stayed; sys_errno
    copy_failed,             // export_failure and sys_errno say why
    unreadable_sectors,      // partly unreadable: sectors that could not be read
};

// The unreadable ranges one item keeps (16 MiB of them); past it they are
// only counted, so that a disk image on a dying disk cannot exhaust memory.
inline constexpr size_t kMaxItemRanges = size_t{1} << 20;

// One line of the manifest: every directory and file met.
struct FolderItem {
    std::string path;        // below the exported directory, names in their printed form
    std::string name;        // the entry's own name, its exact bytes
    std::string host_path;   // below the destination, as written (encoded names)
    bool is_dir = false;
    uint32_t descriptor_id = 0;
    int64_t size = -1;       // from the descriptor; -1 when it could not be read
    int64_t bytes_written = 0;
    std::string sha256;      // of the bytes written; files only
    int32_t create_time = 0, update_time = 0, atime = 0;
    FolderItemStatus status = FolderItemStatus::ok;
    std::string detail;      // what went wrong, or how the name was changed
    bool renamed = false;    // host name differs from the tree's name
    FolderItemWhy why = FolderItemWhy::none;
    ExportFailure export_failure = ExportFailure::none;   // for copy_failed
    int sys_errno = 0;       // the host's or the disk's reason, 0 when none is known
    // With rescue: the item says what could not be read (an empty list when
    // everything was). For a file, the bytes written as zeros; for a
    // directory, the bytes of its listing passed over with the entries on
    // them. File coordinates, in order, merged; the first kMaxItemRanges.
    bool rescue = false;
    std::vector<ByteSpan> unreadable;
    int64_t unreadable_bytes = 0;    // a file's zeros; a directory's entries passed over, as bytes
    int64_t ranges_omitted = 0;      // ranges past kMaxItemRanges, counted only
    int64_t skipped_entries = 0;     // a directory's entries passed over
};

// What "sha256_of" says of a digest over bytes written as zeros.
inline constexpr const char* kDigestOfZeros = "the bytes written, unreadable bytes as zeros";

// What an item could not read, as [offset, length] pairs in its own
// coordinates; the digest of a file with zeros in it is said to be of them.
template <class Json>
void put_unreadable(Json& j, const FolderItem& it) {
    Json ranges = Json::array();
    for (const ByteSpan& r : it.unreadable) ranges.push_back(Json::array({r.offset, r.length}));
    j["unreadable"] = std::move(ranges);
    if (it.ranges_omitted > 0) j["unreadable_ranges_omitted"] = it.ranges_omitted;
    if (it.is_dir && it.skipped_entries > 0) j["skipped_entries"] = it.skipped_entries;
    if (!it.is_dir && it.unreadable_bytes > 0 && !it.sha256.empty()) j["sha256_of"] = kDigestOfZeros;
}

// "ok", "partial", ... as the manifest writes them.
const char* folder_status_text(FolderItemStatus s);

// The manifest's details, which stored manifests hold and readers of them
// match: the same words on every host, no reason of the system's in them.
// How a renamed item's host name came about.
const char* rename_detail(FolderItemWhy why);
// What stopped the copy of a file.
std::string copy_failure_detail(const ExportResult& r);

} // namespace ds
