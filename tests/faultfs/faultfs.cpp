// faultfs: serves one image file read-only through FUSE, as a failing disk
// would: reads of the given byte ranges fail with EIO. A read that starts
// before a bad range returns the bytes before it; one that starts inside
// fails. Reads go straight to this program (direct I/O), so every offset a
// reader asks for is the offset that is answered.
//
//   faultfs IMAGE MOUNTPOINT [OFFSET+LENGTH ...]
//
// The mount holds one file, "image", of IMAGE's size. Stays in the
// foreground until unmounted (fusermount3 -u MOUNTPOINT) or signalled.

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Bad {
    off_t offset;
    off_t length;
};

int g_fd = -1;
off_t g_size = 0;
std::vector<Bad> g_bad;
constexpr const char* kName = "/image";

int fs_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = g_size;
    return 0;
}

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, kName + 1, nullptr, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int fs_open(const char* path, struct fuse_file_info* fi) {
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    return 0;
}

int fs_read(const char*, char* buf, size_t size, off_t off, struct fuse_file_info*) {
    if (off >= g_size) return 0;
    off_t end = std::min<off_t>(g_size, off + static_cast<off_t>(size));
    for (const Bad& b : g_bad) {
        if (off >= b.offset && off < b.offset + b.length) return -EIO;
        if (b.offset > off && b.offset < end) end = b.offset;
    }
    off_t done = 0;
    while (off + done < end) {
        const ssize_t got = ::pread(g_fd, buf + done, static_cast<size_t>(end - off - done), off + done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return done > 0 ? static_cast<int>(done) : -EIO;
        done += got;
    }
    return static_cast<int>(done);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: faultfs IMAGE MOUNTPOINT [OFFSET+LENGTH ...]\n");
        return 2;
    }
    g_fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (g_fd < 0 || ::fstat(g_fd, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    g_size = st.st_size;
    for (int i = 3; i < argc; ++i) {
        char* plus = nullptr;
        const long long offset = std::strtoll(argv[i], &plus, 0);
        if (plus == nullptr || *plus != '+') {
            std::fprintf(stderr, "faultfs: not OFFSET+LENGTH: %s\n", argv[i]);
            return 2;
        }
        g_bad.push_back({static_cast<off_t>(offset), static_cast<off_t>(std::strtoll(plus + 1, nullptr, 0))});
    }
    struct fuse_operations ops {};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.read = fs_read;
    // Foreground, one thread, read-only.
    std::vector<char*> args = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s"),
                               const_cast<char*>("-o"), const_cast<char*>("ro,fsname=faultfs")};
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
