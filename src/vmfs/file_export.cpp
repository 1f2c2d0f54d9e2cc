#include "vmfs/file_export.h"

#include "disk/ewf_source.h"
#include "vmfs/chunk_digest.h"
#include "vmfs/file_read.h"
#include "vmfs/volume.h"

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

// The most one read brings in: file blocks that follow each other on a member
// are read together, up to this.
constexpr int64_t kExportRun = 4 * 1048576;
// Pieces written (and reported to the progress callback) at a time.
constexpr int64_t kExportPiece = 1048576;
// Buffers the digest lends: enough for its thread to hash while the next
// runs are read.
constexpr int kDigestBuffers = 4;

// What was written is handed to the host's disk every so many bytes: the disk
// then writes while the next chunks are read and hashed, instead of all of it
// at the final fsync, and an export of hundreds of gigabytes does not fill the
// host's memory with pages waiting to be written.
constexpr int64_t kWriteBehind = 8 * 1048576;

// Left unfilled: only the bytes read into it are ever written out.
uint8_t* transfer_buffer() {
    static const std::unique_ptr<uint8_t[]> buffer = std::make_unique_for_overwrite<uint8_t[]>(kExportRun);
    return buffer.get();
}

// What a hole of the file is written as where the destination cannot keep
// holes. Zeroed by the kernel and never written to, so that its pages stay
// the shared zero page instead of memory of this process.
const uint8_t* zeros() {
    static const struct Zeros {
        uint8_t* bytes = static_cast<uint8_t*>(std::calloc(1, kExportRun));
        ~Zeros() { std::free(bytes); }
    } zero;
    return zero.bytes;
}

bool write_all(int fd, const uint8_t* data, int64_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= n;
    }
    return true;
}

// Replacing one of the disks being read would destroy the evidence.
bool is_open_input(const std::string& host_path) {
    struct stat dest {};
    if (::stat(host_path.c_str(), &dest) != 0) return false;
    const tvmfslvm& lvm = lvm_state();
    for (int k = 0; k < lvm.loaded_extents && k < kMaxExtents; ++k) {
        // An evidence image is named by its first segment; the others are
        // read as well.
        for (const std::string& file : device_files(lvm.volumes[k].device)) {
            struct stat in {};
            if (::stat(file.c_str(), &in) != 0) continue;
            if (in.st_dev == dest.st_dev && in.st_ino == dest.st_ino) return true;
            if (S_ISBLK(in.st_mode) && S_ISBLK(dest.st_mode) && in.st_rdev == dest.st_rdev) return true;
        }
    }
    return false;
}

bool all_zero(const uint8_t* data, int64_t len) {
    return len > 0 && data[0] == 0 && std::memcmp(data, data + 1, static_cast<size_t>(len - 1)) == 0;
}

// The host file, written strictly sequentially. Chunks of zeros (the holes of
// a thin virtual disk, above all) are skipped over in a regular file and left
// as holes; the file still reads back byte for byte. Only there are the bytes
// looked at: elsewhere (a pipe, a device) every byte is written as it is.
class HostFile {
public:
    explicit HostFile(const std::string& path)
        : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
        struct stat st {};
        const bool known = fd_ >= 0 && ::fstat(fd_, &st) == 0;
        sparse_ok_ = known && S_ISREG(st.st_mode);
        sync_ = known && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    }
    ~HostFile() { close(false); }   // a failed copy: no point in waiting for its bytes
    bool ok() const { return fd_ >= 0; }
    // known_zero: the bytes are a hole of the file, zeros without looking.
    bool write(const uint8_t* data, int64_t len, bool known_zero = false) {
        if (sparse_ok_ && (known_zero || all_zero(data, len))) {
            if (::lseek(fd_, len, SEEK_CUR) < 0) return false;
            pending_hole_ = true;
            end_ += len;
            return true;
        }
        pending_hole_ = false;
        if (!write_all(fd_, data, len)) return false;
        end_ += len;
        if (sparse_ok_ && end_ - handed_ >= kWriteBehind) {
            // Starts the writing only; fsync at the end reports its errors.
            ::sync_file_range(fd_, handed_, end_ - handed_, SYNC_FILE_RANGE_WRITE);
            handed_ = end_;
        }
        return true;
    }
    // Gives a file that ends in a hole its length, puts it on the host's
    // disk, then closes it. An export is whole only once its bytes are
    // stored: a write the kernel could not complete later (a full or failing
    // target disk) shows at fsync, and close() would not tell.
    bool close(bool sync = true) {
        if (fd_ < 0) return true;
        bool ok = true;
        if (pending_hole_) {
            off_t end = ::lseek(fd_, 0, SEEK_CUR);
            ok = end >= 0 && ::ftruncate(fd_, end) == 0;
        }
        if (ok && sync && sync_) ok = ::fsync(fd_) == 0 || errno == EINVAL;
        ok = (::close(fd_) == 0) && ok;
        fd_ = -1;
        return ok;
    }

private:
    int fd_;
    bool sparse_ok_ = false;
    bool sync_ = false;   // fsync means something for regular files and block devices
    int64_t end_ = 0;     // bytes written or skipped as holes
    int64_t handed_ = 0;  // bytes handed to the disk so far
    bool pending_hole_ = false;
};

} // namespace

ExportResult file_export(const tvmfs_inode& inode, const std::string& host_path, const ExportProgress& progress,
                         const ExportOptions& options) {
    ExportResult r;
    std::unique_ptr<ChunkDigest> digest;
    if (options.sha256) digest = std::make_unique<ChunkDigest>(true, kExportRun, kDigestBuffers);
    // Every outcome reports the digest of what the host file holds, a
    // partial copy included.
    auto done = [&r, &digest](int result) {
        r.result = result;
        if (digest) r.sha256 = digest->finish();
        return r;
    };
    auto fail = [&r, &done](ExportFailure why) {
        r.failure = why;
        return done(-1);
    };
    if (is_open_input(host_path)) return fail(ExportFailure::destination_is_input);
    if (inode.size < 0) return fail(ExportFailure::negative_size);
    HostFile out(host_path);
    if (!out.ok()) return fail(ExportFailure::create);

    if (inode.size > kInlineLimit || inode.type == kTypeDir) {
        int64_t p = 0;
        while (p < inode.size) {
            // With a digest the run is read into a buffer it lends, which
            // it hashes on its own thread once the run is written. A hole
            // is read into no buffer at all.
            uint8_t* buf = digest ? digest->buffer() : transfer_buffer();
            bool hole = false;
            int64_t n = file_read_run(inode, buf, kExportRun, p, &hole);
            if (hole && n > 0 && !zeros()) {
                std::memset(buf, 0, static_cast<size_t>(n));
                hole = false;
            }
            const uint8_t* bytes = hole ? zeros() : buf;
            // Written and reported by pieces of at most 1 MiB, so that a
            // cancel still stops between pieces and progress moves as often.
            int64_t written = 0;
            bool write_failed = false, cancelled = false;
            while (written < n && !write_failed && !cancelled) {
                const int64_t piece = std::min(kExportPiece, n - written);
                write_failed = !out.write(bytes + written, piece, hole);
                if (write_failed) break;
                written += piece;
                r.bytes_written = p + written;
                cancelled = progress && !progress(p + written, inode.size);
            }
            // The digest covers exactly the bytes written.
            if (digest) {
                digest->submit(hole ? 0 : written);
                if (hole) digest->add(zeros(), written);
            }
            if (n < 0) return fail(ExportFailure::read);
            if (n == 0) break;
            if (write_failed) return fail(ExportFailure::write);
            if (cancelled) return fail(ExportFailure::cancelled);
            p += n;
        }
    } else {
        uint8_t inline_bytes[1024];
        inode_inline_bytes(inode, inline_bytes);
        if (!out.write(inline_bytes, inode.size)) return fail(ExportFailure::write);
        if (digest) digest->add(inline_bytes, inode.size);
        r.bytes_written = inode.size;
        if (progress) progress(inode.size, inode.size);
    }
    if (!out.close()) return fail(ExportFailure::write);
    return done(0);
}

} // namespace ds
