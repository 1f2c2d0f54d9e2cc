#pragma once
// Copying a directory of the datastore with everything below it to a host
// directory, with a SHA-256 of every file and a manifest beside the copy. A
// virtual machine is a folder: this is how it leaves the datastore whole.

#include "export/file_export.h"
#include "export/folder_item.h"
#include "export/folder_refusal.h"
#include "export/host_names.h"
#include "vmfs/datastore.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ds {

// Name digests a copy holds at once: 32 MiB, the names of four million
// entries along one path, which only an ".fdc.sf" claiming more descriptors
// than that lets a tree hold.
inline constexpr int64_t kFolderNamesHeld = int64_t{1} << 22;

// Called with the bytes copied so far of the whole folder and their total;
// false cancels (the file being copied stays with its ".partial" name).
using FolderProgress = std::function<bool(int64_t done, int64_t total)>;

struct FolderExportOptions {
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
    // Makes the copy durable once every file is written, before the manifest
    // is ended: called with a directory of the copy on each file system it
    // wrote to, returns 0 or an errno. Empty: sync_file_system (syncfs).
    // Tests put one here that looks at the copy or fails.
    std::function<int(int fd)> sync_file_system;
    // Read files around unreadable sectors: their bytes are written as
    // zeros and every item names its unreadable ranges. Directory entries on
    // such sectors are passed over when the datastore's listings are set to
    // (Datastore::set_list_rescue). Nothing is put beside the files.
    bool rescue = false;
};

struct FolderExportResult {
    FolderRefusal refused = FolderRefusal::none;
    int sys_errno = 0;       // the host's reason for the refusal, 0 when none
    std::string refused_path;   // the host path the refusal is about, when it names one
    int64_t files = 0;       // files copied whole
    int64_t directories = 0; // host directories created, the top one included
    int64_t bytes = 0;       // bytes written, partial copies included
    int64_t failures = 0;    // items that are not ok (renames are not failures)
    int64_t renamed = 0;
    bool cancelled = false;
    std::string manifest_path;
    bool manifest_written = false;
    // The walk met more entries than the volume has descriptors (damaged
    // links going round) and the copy stopped there; counted as a failure.
    bool entry_limit = false;
    // The host could not put the copy on its disk (the errno of the sync that
    // failed, 0 when none); counted as a failure, the manifest says so.
    int sync_errno = 0;
    // The items not copied whole or renamed, in the order met, the first
    // thousand of them; the manifest (and item_done) has every item.
    std::vector<FolderItem> items;
    // With rescue: the items partly unreadable, the bytes of files written
    // as zeros, and the directory entries passed over.
    int64_t unreadable_items = 0;
    int64_t unreadable_bytes = 0;
    int64_t skipped_entries = 0;
    bool complete() const { return refused == FolderRefusal::none && failures == 0 && !cancelled && manifest_written; }
};

// Copies node top to dest_dir: the entries of a directory go into
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
FolderExportResult folder_export(const Datastore& store, const Node& top, const std::string& dest_dir,
                                 const FolderExportOptions& options = {});

// One directory of a copy of several: a directory found by the format
// recovery, under the name the tree gives it.
struct FolderSource {
    Node node;
    std::string name;
};

// Copies each source into dest_dir/<its name>, as folder_export copies one
// directory, with one manifest for all of them (descriptor id 0 for the top).
FolderExportResult folder_export_set(const Datastore& store, const std::vector<FolderSource>& sources, const std::string& dest_dir,
                                     const FolderExportOptions& options = {});

} // namespace ds
