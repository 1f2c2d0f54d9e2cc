#include "export/host_write.h"

#include "export/input_guard.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace ds {
namespace {

// What was written is handed to the host's disk every so many bytes: the disk
// then writes while the next chunks are read and hashed, instead of all of it
// at the final fsync, and an export of hundreds of gigabytes does not fill the
// host's memory with pages waiting to be written.
constexpr int64_t kWriteBehind = 8 * 1048576;

bool all_zero(const uint8_t* data, int64_t len) {
    return len > 0 && data[0] == 0 && std::memcmp(data, data + 1, static_cast<size_t>(len - 1)) == 0;
}

// A single name inside a directory: anything else would reach past it.
bool plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

HostDir::~HostDir() {
    if (fd_ >= 0) ::close(fd_);
}

HostDir& HostDir::operator=(HostDir&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

HostDir HostDir::open(const std::string& path) {
    return HostDir(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

HostDir HostDir::make_dir(const std::string& name) const {
    if (!plain_name(name)) {
        errno = EINVAL;
        return HostDir();
    }
    // mkdirat never follows a link at name: it fails with EEXIST.
    if (::mkdirat(fd_, name.c_str(), 0755) != 0) return HostDir();
    return open_dir(name);
}

HostDir HostDir::open_dir(const std::string& name) const {
    if (!plain_name(name)) {
        errno = EINVAL;
        return HostDir();
    }
    return HostDir(::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool HostDir::stat_at(const std::string& name, struct stat& st) const {
    return ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

HostDir HostDir::dup() const { return HostDir(fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0)); }

bool HostDir::stat_self(struct stat& st) const { return ::fstat(fd_, &st) == 0; }

bool HostDir::is_empty() const {
    // fdopendir takes the descriptor over: give it one of its own.
    int dup = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dup < 0) return false;
    DIR* d = ::fdopendir(dup);
    if (!d) {
        ::close(dup);
        return false;
    }
    bool empty = true;
    while (struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(d);
    return empty;
}

bool HostDir::set_times(int32_t atime, int32_t mtime) const {
    struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
    return ::futimens(fd_, ts) == 0;
}

bool HostDir::set_times_at(const std::string& name, int32_t atime, int32_t mtime) const {
    struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
    return plain_name(name) && ::utimensat(fd_, name.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

bool HostDir::rename(const std::string& from, const std::string& to, bool replace) const {
    if (!plain_name(from) || !plain_name(to)) {
        errno = EINVAL;
        return false;
    }
    if (replace) return ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0;
    if (::renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a second link fails just as well when
    // the name is taken.
    if (::linkat(fd_, from.c_str(), fd_, to.c_str(), 0) == 0) return ::unlinkat(fd_, from.c_str(), 0) == 0;
    if (errno == EEXIST) return false;
    struct stat st {};
    if (stat_at(to, st)) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0;
}

bool HostDir::remove(const std::string& name) const {
    return plain_name(name) && ::unlinkat(fd_, name.c_str(), 0) == 0;
}

HostFile::HostFile(int fd) : fd_(fd) {
    struct stat st {};
    const bool known = fd_ >= 0 && ::fstat(fd_, &st) == 0;
    sparse_ok_ = known && S_ISREG(st.st_mode);
    sync_ = known && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

HostFile::~HostFile() { close(false); }

HostFile::HostFile(HostFile&& o) noexcept
    : fd_(o.fd_), sparse_ok_(o.sparse_ok_), sync_(o.sync_), end_(o.end_), handed_(o.handed_),
      pending_hole_(o.pending_hole_) {
    o.fd_ = -1;
}

HostFile& HostFile::operator=(HostFile&& o) noexcept {
    if (this != &o) {
        close(false);
        fd_ = o.fd_;
        sparse_ok_ = o.sparse_ok_;
        sync_ = o.sync_;
        end_ = o.end_;
        handed_ = o.handed_;
        pending_hole_ = o.pending_hole_;
        o.fd_ = -1;
    }
    return *this;
}

HostFile HostFile::create(const HostDir& dir, const std::string& name) {
    if (!plain_name(name)) {
        errno = EINVAL;
        return HostFile();
    }
    return HostFile(::openat(dir.fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                             0644));
}

bool HostFile::write(const uint8_t* data, int64_t len, int64_t* stored, bool known_zero) {
    if (stored) *stored = 0;
    if (fd_ < 0) return false;
    if (sparse_ok_ && (known_zero || all_zero(data, len))) {
        if (::lseek(fd_, len, SEEK_CUR) < 0) return false;
        pending_hole_ = true;
        end_ += len;
        if (stored) *stored = len;
        return true;
    }
    pending_hole_ = false;
    int64_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd_, data + done, static_cast<size_t>(len - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A full disk takes part of a chunk: those bytes are in the file
            // and are counted as such.
            end_ += done;
            if (stored) *stored = done;
            return false;
        }
        done += n;
    }
    end_ += len;
    if (stored) *stored = len;
    if (sparse_ok_ && end_ - handed_ >= kWriteBehind) {
        // Starts the writing only; fsync at the end reports its errors.
        ::sync_file_range(fd_, handed_, end_ - handed_, SYNC_FILE_RANGE_WRITE);
        handed_ = end_;
    }
    return true;
}

bool HostFile::set_times(int32_t atime, int32_t mtime) const {
    struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
    return fd_ >= 0 && ::futimens(fd_, ts) == 0;
}

bool HostFile::close(bool sync) {
    if (fd_ < 0) return true;
    bool ok = true;
    // A trailing hole has no length until the size is set; a failed copy is
    // cut to what it counted, whatever the host made of its last write.
    if (sparse_ok_ && (pending_hole_ || !sync)) ok = ::ftruncate(fd_, end_) == 0;
    if (ok && sync && sync_) ok = ::fsync(fd_) == 0 || errno == EINVAL;
    if (::close(fd_) != 0) ok = false;
    fd_ = -1;
    return ok;
}

bool HostFile::close_unsynced() {
    if (fd_ < 0) return true;
    bool ok = !(sparse_ok_ && pending_hole_) || ::ftruncate(fd_, end_) == 0;
    if (::close(fd_) != 0) ok = false;
    fd_ = -1;
    return ok;
}

int sync_file_system(int fd) { return ::syncfs(fd) == 0 ? 0 : errno; }

bool file_system_syncs_whole(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && fs.f_type != FUSE_SUPER_MAGIC;
}

HostFile adopt_descriptor(const Datastore& store, int fd, bool to_device, DestinationCheck& why) {
    why = DestinationCheck::cannot_open;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return HostFile();
    if (S_ISBLK(st.st_mode) && !to_device) {
        why = DestinationCheck::is_device;
        return HostFile();
    }
    if (overlaps_input(store, st, fd)) {
        why = DestinationCheck::is_input;
        return HostFile();
    }
    if (to_device && !S_ISBLK(st.st_mode)) {
        errno = ENOTBLK;
        return HostFile();
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return HostFile();
    why = DestinationCheck::ok;
    return HostFile(copy);
}

// A new file in parent: what matters is where the directory keeps its bytes,
// so a directory on an input's device range is refused before anything exists.
static HostFile create_new(const Datastore& store, const HostDir& parent, const std::string& name, DestinationCheck& why) {
    struct stat st {};
    if (!parent.stat_self(st)) return HostFile();
    if (overlaps_input(store, st)) {
        why = DestinationCheck::is_input;
        return HostFile();
    }
    HostFile created = HostFile::create(parent, name);
    if (created.ok()) why = DestinationCheck::ok;
    return created;
}

HostFile open_destination(const Datastore& store, const std::string& path, bool to_device, DestinationCheck& why,
                          bool no_clobber) {
    why = DestinationCheck::cannot_open;
    std::string dir, name;
    split_host_path(path, dir, name);
    HostDir parent = HostDir::open(dir);
    if (!parent.ok() || name.empty() || name == "." || name == "..") return HostFile();
    struct stat st {};
    // A device is there or it is not: a mistyped device name must not become
    // a new file (under /dev, say) that takes the copy.
    if (to_device && !parent.stat_at(name, st)) {
        errno = ENOENT;
        return HostFile();
    }
    if (no_clobber) {
        // Created or nothing: a check before the open would leave a moment
        // in which a file put there is then replaced.
        HostFile created = create_new(store, parent, name, why);
        if (!created.ok() && why == DestinationCheck::cannot_open && errno == EEXIST) why = DestinationCheck::exists;
        return created;
    }
    if (parent.stat_at(name, st) && S_ISLNK(st.st_mode)) {
        // A link the operator names is followed once, here; the path it
        // stands for is opened without following anything further.
        char* real = ::realpath(path.c_str(), nullptr);
        if (!real) return HostFile();
        const std::string resolved = real;
        ::free(real);
        split_host_path(resolved, dir, name);
        parent = HostDir::open(dir);
        if (!parent.ok() || name.empty()) return HostFile();
    }
    int fd = ::openat(parent.fd(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT || to_device) return HostFile();
        return create_new(store, parent, name, why);
    }
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return HostFile();
    }
    if (S_ISBLK(st.st_mode) && !to_device) why = DestinationCheck::is_device;
    else if (overlaps_input(store, st, fd)) why = DestinationCheck::is_input;
    if (why != DestinationCheck::cannot_open) {
        ::close(fd);
        return HostFile();
    }
    if (to_device && !S_ISBLK(st.st_mode)) {
        ::close(fd);
        errno = ENOTBLK;
        return HostFile();
    }
    if (S_ISBLK(st.st_mode)) {
        // Exclusively: a device that is mounted or otherwise in use by the
        // system is refused by the kernel itself.
        const dev_t rdev = st.st_rdev;
        ::close(fd);
        fd = ::openat(parent.fd(), name.c_str(), O_WRONLY | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return HostFile();
        if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != rdev) {
            ::close(fd);
            return HostFile();
        }
    }
    if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return HostFile();
    }
    why = DestinationCheck::ok;
    return HostFile(fd);
}

void split_host_path(const std::string& path, std::string& dir, std::string& name) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (!p.empty() && p.find_first_not_of('/') == std::string::npos) {
        dir = "/";
        name.clear();
        return;
    }
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = p;
        return;
    }
    name = p.substr(slash + 1);
    dir = p.substr(0, slash);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty()) dir = "/";
}

} // namespace ds
