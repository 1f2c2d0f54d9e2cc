#pragma once
// Copying a directory of the datastore with everything below it to a host
// directory, with a SHA-256 of every file and a manifest beside the copy. A
// virtual machine is a folder: this is how it leaves the datastore whole.

#include "export/file_export.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ds {

class Datastore;

// The host name of a datastore name. Names are kept as the tree shows them;
// what a host directory cannot hold is percent-encoded so that it can be
// told back: "%" and "/" (and control characters, and bytes that are not
// UTF-8) become %XX,
// "." and ".." become %2E and %2E%2E, and the empty name becomes "%", which
// no other name encodes to.
std::string host_name_encode(const std::string& raw);
// The host name actually written: the encoding, and where that is longer than
// a host directory entry may be (a long name of bytes that are not UTF-8
// triples in length), its start, "~", twelve hex digits of the SHA-256 of
// the raw name and a short extension; shortened tells which. A shortened name
// cannot be decoded: the manifest keeps the full one.
std::string host_name_fit(const std::string& raw, bool& shortened);
// The datastore name a host name stands for; false when host is not an
// encoding (a "%" not followed by two hex digits).
bool host_name_decode(const std::string& host, std::string& raw);

// Name digests a copy holds at once: 32 MiB, the names of four million
// entries along one path, which only an ".fdc.sf" claiming more descriptors
// than that lets a tree hold.
inline constexpr int64_t kFolderNamesHeld = int64_t{1} << 22;

// Called with the bytes copied so far of the whole folder and their total;
// false cancels (the file being copied stays with its ".partial" name).
using FolderProgress = std::function<bool(int64_t done, int64_t total)>;


enum class FolderItemStatus {
    ok,             // copied whole
    partial,        // a read failed: the bytes before it are kept as <name>.partial
    failed,         // nothing could be copied (descriptor unreadable, host refused)
    not_followed,   // a directory reached again (a cycle or a second link): not entered
    incomplete,     // a directory whose listing could not be read to its end
    cancelled,      // the operator stopped the export here
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
};

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
};

struct FolderExportOptions {
    // Replaces the first block id of the top directory (a directory found by
    // the format recovery whose entries survive in a sub-block).
    int64_t first_block = -1;
    // Host name of the copy when the source is a file, not a directory.
    std::string file_name;
    // How the source was named, for the manifest ("/vm1", "DIR2", "#1234").
    std::string source_text;
    // A manifest already beside the destination is replaced instead of
    // refused.
    bool replace_manifest = false;
    // When set, the manifest's "provenance" member: the text of a JSON object,
    // asked for as the manifest is written.
    std::function<std::string()> provenance;
    FolderProgress progress;
    // Called with every item as it is settled, in the manifest's order
    // (parents first): a copy of millions of files is reported as it goes,
    // never held whole.
    std::function<void(const FolderItem&)> item_done;
    // The names of the directories being copied (those along the current
    // path) whose host names are settled ahead, counted in 8-byte digests. A
    // directory past it keeps its entries' own names (see folder_export).
    int64_t names_held_limit = kFolderNamesHeld;
};

// Why a folder export wrote nothing.
enum class FolderRefusal {
    none,
    no_destination,          // no destination directory was given
    source_unreadable,       // the source's descriptor cannot be read
    destination_unusable,    // cannot be resolved, opened or created; sys_errno says why
    no_parent,               // no directory above it to hold the manifest
    not_directory,           // it exists and is not a directory
    not_empty,
    manifest_exists,         // and replacing it was not asked for
    manifest_not_replaceable,   // what is at the manifest's name is not a manifest
    on_input,                // the destination is on a disk being read
};

struct FolderExportResult {
    FolderRefusal refused = FolderRefusal::none;
    int sys_errno = 0;       // the host's reason for the refusal, 0 when none
    std::string refusal;     // non-empty: nothing was written, this is why
    int64_t files = 0;       // files copied whole
    int64_t directories = 0; // host directories created, the top one included
    int64_t bytes = 0;       // bytes written, partial copies included
    int64_t failures = 0;    // items that are not ok (renames are not failures)
    int64_t renamed = 0;
    bool cancelled = false;
    std::string manifest_path;
    bool manifest_exists = false;    // the refusal: a manifest is already there
    bool manifest_written = false;
    // The walk met more entries than the volume has descriptors (damaged
    // links going round) and the copy stopped there; counted as a failure.
    bool entry_limit = false;
    // The items not copied whole or renamed, in the order met, the first
    // thousand of them; the manifest (and item_done) has every item.
    std::vector<FolderItem> items;
    bool complete() const { return refused == FolderRefusal::none && failures == 0 && !cancelled && manifest_written; }
};

// Copies descriptor top_id to dest_dir: the entries of a directory go into
// dest_dir, a single file goes into it under options.file_name. dest_dir is
// created when missing and must be empty otherwise, so nothing on the host
// is replaced. The manifest goes beside it, to dest_dir + ".manifest.json"
// (dest_dir resolved first when it ends in "." or ".." or is a link), and
// an existing one is refused unless options.replace_manifest. Everything is
// created inside dest_dir through directory handles: a link or file planted
// there meanwhile makes that item fail, it is never followed or replaced.
// Every directory is entered once: a repeat is listed, not followed.
// The host names of a directory's entries are settled from its listing
// before any is written; a directory whose names do not fit beside those of
// its ancestors (options.names_held_limit) is copied with every entry under
// its own host name: an entry whose name repeats there is never numbered and
// never replaces the first, it stays under its ".partial" name (a partial item).
FolderExportResult folder_export(Datastore& store, uint32_t top_id, const std::string& dest_dir,
                                 const FolderExportOptions& options = {});

// One directory of a copy of several: a directory found by the format
// recovery, under the name the tree gives it.
struct FolderSource {
    uint32_t id = 0;
    int64_t first_block = -1;
    std::string name;
};

// Copies each source into dest_dir/<its name>, as folder_export copies one
// directory, with one manifest for all of them (descriptor id 0 for the top).
FolderExportResult folder_export_set(Datastore& store, const std::vector<FolderSource>& sources, const std::string& dest_dir,
                                     const FolderExportOptions& options = {});

// "ok", "partial", ... as the manifest writes them.
const char* folder_status_text(FolderItemStatus s);

} // namespace ds
