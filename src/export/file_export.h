#pragma once
// Copying one file of the datastore to a host file.

#include "disk/failure.h"
#include "export/host_write.h"
#include "vmfs/datastore.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ds {

// Called after every chunk with the bytes written so far and the total;
// returning false cancels the copy (the host file keeps what was written).
using ExportProgress = std::function<bool(int64_t done, int64_t total)>;

enum class ExportFailure {
    none,
    create,
    read,
    write,
    negative_size,
    destination_is_input,    // the destination shares bytes with a disk being read
    destination_is_device,   // a block device, and writing to one was not asked for
    cancelled,
    past_addressable,   // the size reaches past what the block list can address: stopped there
    past_volume,        // more data than the logical volume can hold: stopped at that bound
    exists,             // something is at the destination and replacing it was not allowed
    unreadable_sink,    // the sink of unreadable ranges refused one (its map could not be written)
};

// failure is none when the whole file was written.
struct ExportResult {
    ExportFailure failure = ExportFailure::none;
    bool opened = false;             // the host file was opened: it holds bytes_written bytes
    int64_t bytes_written = 0;
    std::string sha256;              // of the bytes_written bytes, when asked for
    Failure read_failure;            // for read: why (a disk's failure, or damage)
    int host_errno = 0;              // for create and write: the host's reason, 0 when it gave none
    // With rescue: the bytes written as zeros because they could not be
    // read, and in how many ranges.
    int64_t unreadable_bytes = 0;
    int64_t unreadable_ranges = 0;
};

struct ExportOptions {
    // Hash the bytes as they are written (holes count as the zeros they
    // read back as), on a second thread while the next chunk is read.
    bool sha256 = false;
    // A block device is written to only when the operator said so.
    bool to_device = false;
    // Never replace what is at the destination: the file is created only
    // when nothing at all, a link included, is there, in the same call that
    // creates it, so that nothing appearing meanwhile is ever overwritten.
    bool no_clobber = false;
    // Read around unreadable sectors instead of stopping at the first: they
    // are written as zeros (and hashed as such), and each range of them, in
    // file offsets, in order and merged with its neighbours, is handed to
    // unreadable once the copy has passed it. False from it ends the copy
    // (unreadable_sink).
    bool rescue = false;
    std::function<bool(ByteSpan)> unreadable;
    // The copy is not waited for here: the caller syncs the destination's
    // whole file system once, after many files (a folder export), and only
    // then counts them as written.
    bool sync_later = false;
    // When set, kept at the bytes read from the volume so far, before each
    // progress call: a thin file's holes are written but never read, and a
    // rate counts only what was read.
    int64_t* bytes_read = nullptr;
};

// Creates (or replaces) host_path and writes the file's bytes to it, up to
// what its block list can address (file_extent) and never more stored data
// than the logical volume can hold (holes do not count: a thin virtual disk
// may be larger than its datastore); a copy that stops at either bound fails
// and says which. By runs
// of up to 4 MiB that one read serves (file_read_run), or from the
// descriptor's own 1024 bytes for a non-directory of at most 1024 bytes. A
// directory is written as its entries. Refuses a destination that shares
// bytes with one of the volume's disks, and a block device unless
// options.to_device. A link at host_path is resolved once, before anything is
// opened; what is opened is never a link. A whole copy is flushed to the
// host's disk (fsync) before it counts as written; a copy that failed or was
// cancelled keeps what was written, and the file then holds exactly
// bytes_written bytes.
ExportResult file_export(const Datastore& store, const File& file, const std::string& host_path,
                         const ExportProgress& progress = {}, const ExportOptions& options = {});

// The same copy into a descriptor the program was handed (its standard
// output), written from where it stands and never emptied first.
ExportResult file_export_to_descriptor(const Datastore& store, const File& file, int fd, const ExportProgress& progress = {},
                                       const ExportOptions& options = {});

// The same copy into a host file already opened by the careful writer; the
// file is closed when the copy ends.
ExportResult file_export(const Datastore& store, const File& file, HostFile& out, const ExportProgress& progress = {},
                         const ExportOptions& options = {});

} // namespace ds
