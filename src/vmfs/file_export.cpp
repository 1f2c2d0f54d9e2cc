#include "vmfs/file_export.h"

#include "vmfs/chunk_digest.h"
#include "vmfs/file_read.h"
#include "vmfs/input_guard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ds {
namespace {

constexpr int64_t kExportChunk = 1048576;

std::vector<uint8_t>& transfer_buffer() {
    static std::vector<uint8_t> buffer(kExportChunk);
    return buffer;
}

// Opens the operator's destination to be written from its start, or says why
// not. Nothing is truncated before the checks have passed.
HostFile open_destination(const std::string& path, const ExportOptions& options, ExportFailure& why) {
    why = ExportFailure::create;
    std::string dir, name;
    split_host_path(path, dir, name);
    HostDir parent = HostDir::open(dir);
    if (!parent.ok() || name.empty() || name == "." || name == "..") return HostFile();
    struct stat st {};
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
        if (errno != ENOENT) return HostFile();
        // A new file: what matters is where its directory keeps its bytes.
        if (!parent.stat_self(st)) return HostFile();
        if (overlaps_input(st)) {
            why = ExportFailure::destination_is_input;
            return HostFile();
        }
        HostFile created = HostFile::create(parent, name);
        if (created.ok()) why = ExportFailure::none;
        return created;
    }
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return HostFile();
    }
    if (S_ISBLK(st.st_mode) && !options.to_device) why = ExportFailure::destination_is_device;
    else if (overlaps_input(st)) why = ExportFailure::destination_is_input;
    if (why != ExportFailure::create) {
        ::close(fd);
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
    why = ExportFailure::none;
    return HostFile(fd);
}

} // namespace

ExportResult file_export(const tvmfs_inode& inode, const std::string& host_path, const ExportProgress& progress,
                         const ExportOptions& options) {
    ExportFailure why = ExportFailure::negative_size;
    HostFile out;
    if (inode.size >= 0) out = open_destination(host_path, options, why);
    if (!out.ok()) {
        ExportResult r;
        r.failure = why;
        // The digest of nothing: every outcome carries one when asked for.
        static const uint8_t nothing = 0;
        if (options.sha256) r.sha256 = sha256_hex(&nothing, 0);
        return r;
    }
    return file_export(inode, out, progress, options);
}

ExportResult file_export(const tvmfs_inode& inode, HostFile& out, const ExportProgress& progress,
                         const ExportOptions& options) {
    ExportResult r;
    std::unique_ptr<ChunkDigest> digest;
    if (options.sha256) digest = std::make_unique<ChunkDigest>(true, kExportChunk);
    // Every outcome reports the digest of what the host file holds, a
    // partial copy included.
    auto done = [&r, &digest](int result) {
        r.result = result;
        if (digest) r.sha256 = digest->finish();
        return r;
    };
    auto fail = [&r, &done, &out](ExportFailure why) {
        r.failure = why;
        out.close(false);
        return done(-1);
    };
    if (inode.size < 0) return fail(ExportFailure::negative_size);
    if (!out.ok()) return fail(ExportFailure::create);
    r.opened = true;

    if (inode.size > kInlineLimit || inode.type == kTypeDir) {
        int64_t p = 0;
        while (p < inode.size) {
            // With a digest the chunk is read into a buffer it lends, which
            // it hashes on its own thread once the chunk is written.
            uint8_t* buf = digest ? digest->buffer() : transfer_buffer().data();
            int64_t n = file_read(inode, buf, kExportChunk, p);
            int64_t stored = 0;
            const bool written = n > 0 && out.write(buf, n, &stored);
            // What the host took of a chunk it refused is in the file, and
            // counted and hashed as such.
            if (digest) digest->submit(stored);
            if (n < 0) return fail(ExportFailure::read);
            if (n == 0) break;
            r.bytes_written = p + stored;
            if (!written) return fail(ExportFailure::write);
            p += n;
            if (progress && !progress(p, inode.size)) return fail(ExportFailure::cancelled);
        }
    } else {
        uint8_t inline_bytes[1024];
        inode_inline_bytes(inode, inline_bytes);
        int64_t stored = 0;
        const bool written = out.write(inline_bytes, inode.size, &stored);
        if (digest) digest->add(inline_bytes, stored);
        r.bytes_written = stored;
        if (!written) return fail(ExportFailure::write);
        if (progress) progress(inode.size, inode.size);
    }
    if (!out.close()) return fail(ExportFailure::write);
    return done(0);
}

} // namespace ds
