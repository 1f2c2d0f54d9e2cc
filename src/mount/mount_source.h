#pragma once
// What the mount needs of an opened datastore, and nothing more: list a
// directory, describe a descriptor, read a range of a file and find its
// holes. Everything the mount knows of the reader's core goes through this
// one class, so that the rest of the mount is free of it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vmfs/datastore.h"


namespace dsmount {

// A descriptor as the mount reaches it: the core's node.
using SourceRef = ds::Node;

// One entry of a directory, in on-disk order.
struct SourceEntry {
    std::string raw_name;   // the name's bytes as stored (trimmed)
    SourceRef ref;
    bool dir_entry = false; // the entry says directory
};

// What a descriptor says about itself.
struct SourceAttr {
    bool is_dir = false;
    int64_t size = 0;       // never negative: a descriptor that says so is not served
    int64_t allocated = 0;  // bytes that blocks hold (the rest are holes), for du and cp
    int32_t create_time = 0, update_time = 0, atime = 0;
};

// A file opened for reading: its descriptor, read once.
class SourceFile;
using SourceFilePtr = std::shared_ptr<const SourceFile>;

// A range of a file that lies byte for byte in an image or disk the kernel
// can read from itself: the descriptor, its offset and the length.
struct SourceSpan {
    int fd = -1;
    int64_t offset = 0;
    int64_t length = 0;
};

enum class SourceError { none, unreadable, not_directory, bad_size };

class MountSource {
public:
    // Serves store, opened by the caller (with the format recovery run, its
    // found directories too), which outlives the source. Every call may come
    // from any thread, several at once: the datastore's reads are safe so.
    explicit MountSource(ds::Datastore& store);
    ~MountSource();
    MountSource(const MountSource&) = delete;
    MountSource& operator=(const MountSource&) = delete;

    // The root directory of the datastore.
    SourceRef root() const;

    // The descriptor's kind, size and times.
    SourceError stat(const SourceRef& ref, SourceAttr& out);

    // Hands the entries of a directory to take one at a time, in order ("."
    // and ".." left out), so that a directory whose size claims millions of
    // entries is never held whole. Reading stops when take returns false;
    // complete is false then, or when a read ended the listing early (the
    // entries before it were handed out).
    SourceError list(const SourceRef& ref, const std::function<bool(SourceEntry&&)>& take, bool& complete);

    // The directories the last format recovery found, as "DIR<n>" entries.
    std::vector<SourceEntry> found_directories();

    // A file the caller made (a rebuilt lost disk) rather than one a
    // descriptor of the datastore holds: the ref that lists it. allocated is
    // what du is told. Made before serving, never during.
    SourceRef add_made(const ds::File& file, int64_t allocated);

    // Reads the descriptor for the reads that follow.
    SourceError open(const SourceRef& ref, SourceFilePtr& out);
    static int64_t size(const SourceFile& file);

    // Reads count bytes at off into buf, holes as zeros: the bytes read
    // (fewer only at the end of the file) or -1 when any of them cannot be
    // read. Nothing is ever made up for bytes that could not be read.
    int64_t read(const SourceFile& file, uint8_t* buf, int64_t count, int64_t off);

    // As a failing disk answers: the bytes from off up to the first sector
    // that cannot be read (a short count), or -1 when the byte at off is in
    // one or any other read fails there. With unreadable set, such sectors
    // read as zeros instead and their ranges (file offsets) are appended to
    // it; other failures still end the read there.
    int64_t read_to_damage(const SourceFile& file, uint8_t* buf, int64_t count, int64_t off,
                           std::vector<ds::ByteSpan>* unreadable);

    // Where the bytes read(file, ..., count, off) would give lie in one
    // image or disk, for a reply the kernel fills from there (no copy through
    // this process). False where they must be read: holes, sub-blocks,
    // inline data, blocks that do not follow each other, evidence images.
    bool span(const SourceFile& file, int64_t count, int64_t off, SourceSpan& out);

    // The first offset at or after off that holds data (data true) or lies
    // in a hole (data false; the end of the file counts as one); -1 when
    // there is none (off at or past the end, or no data after it). Answered
    // from the block list's slots at once, whatever size the descriptor
    // claims. What the block list cannot tell (an id of any kind, an
    // unreadable pointer block, the bytes past its last slot) is never a
    // hole: it counts as data, and its read then fails where the damage is.
    int64_t seek(const SourceFile& file, int64_t off, bool data);

private:
    struct Made {
        ds::File file;
        int64_t allocated = 0;
    };
    const Made* made(const SourceRef& ref) const;

    ds::Datastore& store_;
    std::vector<Made> made_;
};

} // namespace dsmount
