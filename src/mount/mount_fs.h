#pragma once
// The datastore as a read-only file system of the host, served through FUSE
// by several threads: every tool of the host can read the recovered files in
// place. Directories are 0555 and files 0444, owned by the user who mounts;
// inode numbers are descriptor ids; the descriptor's update, access and
// create times are the mtime, atime and ctime. Every write of any kind fails
// with EROFS; a read the datastore cannot answer fails with EIO, for exactly
// the sectors that cannot be read (as a failing disk answers); the holes
// of a thin file read as zeros and are found with lseek(SEEK_DATA/SEEK_HOLE).

#include "mount/mount_source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dsmount {

// What the mount's root holds.
struct MountRoot {
    // A directory of the datastore...
    SourceRef directory;
    // ...or, when listed is set, a directory of these entries alone (the
    // found directories, or the deleted files).
    bool listed = false;
    std::vector<SourceEntry> entries;
};

// The most entries a mount is ever given room for, however many descriptor
// slots a volume claims: at the mount's few hundred bytes an entry, some
// hundreds of MiB, and twice what the largest datastores hold.
inline constexpr int64_t kMostMountEntries = int64_t{1} << 21;

struct MountSettings {
    int threads = 8;              // most threads serving at once
    bool debug = false;           // libfuse's own trace on stderr
    // Most directory entries the mount holds, all directories and a listed
    // root together: what it holds stays well inside a small machine's
    // memory whatever sizes a damaged or planted disk claims, and is far
    // more than a real datastore has (some tens of thousands of files). A
    // directory listed past it shows the entries before the cut and then
    // ends as one a damaged block ended early.
    int64_t max_entries = 200000;
    // Told once when a listing is cut by max_entries; stderr when empty.
    std::function<void(const std::string&)> notice;
    // Sectors that cannot be read are served as zeros instead of failing
    // with EIO, and each such range of a file is told once (by its path and
    // file offsets) through unreadable; stderr when empty.
    bool rescue = false;
    std::function<void(const std::string&)> unreadable;
};

class MountServer {
public:
    MountServer(MountSource& source, MountRoot root, MountSettings settings = {});
    ~MountServer();   // unmounts when still mounted
    MountServer(const MountServer&) = delete;
    MountServer& operator=(const MountServer&) = delete;

    // Mounts read-only at mountpoint; empty on success, else why not.
    std::string mount(const std::string& mountpoint);

    // Detaches from the terminal into the background (the caller returns
    // in the parent once this process is ready to serve). False when it
    // could not.
    bool daemonize();

    // Serves until the file system is unmounted (fusermount3 -u) or, with
    // signals, SIGINT, SIGTERM or SIGHUP arrives; then unmounts. 0 when it
    // ended cleanly.
    int serve(bool signals);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// The host name of each entry of one directory, in order: the name as a
// folder export writes it (encoded where the host cannot hold it, shortened
// where too long), and a name met again in the same directory gets "~2",
// "~3"... as it does there.
std::vector<std::string> entry_host_names(const std::vector<SourceEntry>& entries);

} // namespace dsmount
