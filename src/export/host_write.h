#pragma once
// The one careful writer: every byte the program puts on the host goes
// through here. Inside a destination everything is created relative to an
// open directory handle and by a single name, never through a link, and never
// over something that is already there: a link or a file planted while an
// export runs makes that one item fail instead of sending its bytes elsewhere.

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace ds {

class Datastore;

class HostDir {
public:
    HostDir() = default;
    explicit HostDir(int fd) : fd_(fd) {}
    ~HostDir();
    HostDir(HostDir&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    HostDir& operator=(HostDir&& o) noexcept;
    HostDir(const HostDir&) = delete;
    HostDir& operator=(const HostDir&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // The directory at path as the operator gave it (the links in a path the
    // operator typed are the operator's choice). errno tells why it failed.
    static HostDir open(const std::string& path);
    // Creates directory name inside and opens it; fails with EEXIST when
    // anything at all is there.
    HostDir make_dir(const std::string& name) const;
    // Opens the existing directory name inside; a link there is not followed.
    HostDir open_dir(const std::string& name) const;
    // What is at name inside, the link itself for a link; false when nothing.
    bool stat_at(const std::string& name, struct stat& st) const;
    bool stat_self(struct stat& st) const;
    // A second handle of the same open directory.
    HostDir dup() const;
    // Nothing in it but "." and "..".
    bool is_empty() const;
    // Last access and modification times, in seconds, of the directory
    // itself or of what is at name inside (a link's own).
    bool set_times(int32_t atime, int32_t mtime) const;
    bool set_times_at(const std::string& name, int32_t atime, int32_t mtime) const;
    // Renames from to to inside this directory. Without replace it fails
    // with EEXIST when anything is at to; with it, what is there is replaced
    // as a name (a link is replaced, not followed).
    bool rename(const std::string& from, const std::string& to, bool replace) const;
    bool remove(const std::string& name) const;

private:
    int fd_ = -1;
};

// A host file written from its start onwards. Runs of zeros are skipped in a
// regular file and left as holes; the file still reads back byte for byte.
class HostFile {
public:
    HostFile() = default;
    explicit HostFile(int fd);
    ~HostFile();   // a failed copy: closes without waiting for the disk
    HostFile(HostFile&& o) noexcept;
    HostFile& operator=(HostFile&& o) noexcept;
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    // A new file name inside dir; fails with EEXIST when anything at all,
    // a link included, is there.
    static HostFile create(const HostDir& dir, const std::string& name);

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Appends len bytes; false when the host refused some of them. *stored
    // gets how many of these len bytes the file now holds, a partial write
    // on a full disk included. known_zero: the bytes are a hole of the file,
    // zeros without looking; only a regular file looks at the bytes at all.
    bool write(const uint8_t* data, int64_t len, int64_t* stored = nullptr, bool known_zero = false);
    // Bytes the file holds, holes included.
    int64_t size() const { return end_; }
    bool set_times(int32_t atime, int32_t mtime) const;
    // Gives a file that ends in a hole its length, puts a whole copy on the
    // host's disk (fsync: a write the kernel could not complete shows there,
    // close() would not tell), then closes. With sync false (a copy that
    // failed) the file is cut to what was counted, so that it holds exactly
    // size() bytes, and closed without waiting.
    bool close(bool sync = true);
    // A whole copy closed without waiting for the disk: the length is set as
    // close() sets it, and the caller makes the file durable later, with
    // many others at once (sync_file_system), before anything vouches for it.
    bool close_unsynced();

private:
    int fd_ = -1;
    bool sparse_ok_ = false;
    bool sync_ = false;    // fsync means something for regular files and block devices
    int64_t end_ = 0;      // bytes written or skipped as holes
    int64_t handed_ = 0;   // bytes handed to the disk so far
    bool pending_hole_ = false;
};

enum class DestinationCheck { ok, cannot_open, is_input, is_device, exists };

// Opens the file the operator named to be written from its start, creating
// it when missing and emptying a regular file. A link the operator names is
// resolved once, before anything is opened; what is opened is never a link.
// Refused (why tells) when writing there could change a byte of a disk being
// read, and for a block device unless to_device; a block device is opened
// exclusively, so that one in use by the system (mounted, say) fails. With
// to_device only an existing block device is opened: nothing is created
// (errno ENOENT) and anything else is refused with errno ENOTBLK.
// Nothing is emptied before every check has passed.
// With no_clobber the file is only ever created, exclusively (O_EXCL), and
// anything already at path, a link included, is refused as exists.
HostFile open_destination(const Datastore& store, const std::string& path, bool to_device, DestinationCheck& why,
                          bool no_clobber = false);

// Writes to a descriptor the program was handed (its standard output):
// never emptied, no link to resolve, written from where it stands. Refused
// like a named destination when its bytes could belong to a disk being read,
// or when it is a block device and to_device is false, and when to_device
// asks for a block device and it is none (errno ENOTBLK). The descriptor itself
// stays open; the file returned writes through a copy of it.
HostFile adopt_descriptor(const Datastore& store, int fd, bool to_device, DestinationCheck& why);

// Puts everything written to the file system that holds fd on its disk
// (syncfs), and reports a write the disk refused meanwhile, of any file of
// it written since fd was opened. 0 or the host's errno.
int sync_file_system(int fd);
// Whether sync_file_system stands for an fsync of every file there: not on a
// file system served by a user-space daemon, which may not be asked to sync
// at all.
bool file_system_syncs_whole(int fd);

// Splits a path into the directory that holds its last component and that
// component ("a/b" -> "a", "b"; "b" -> ".", "b"; "/b" -> "/", "b").
// Trailing slashes are dropped first; a path of slashes gives "/", "".
void split_host_path(const std::string& path, std::string& dir, std::string& name);

} // namespace ds
