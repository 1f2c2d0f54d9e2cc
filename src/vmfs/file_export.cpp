#include "vmfs/file_export.h"

#include "vmfs/chunk_digest.h"
#include "vmfs/file_read.h"

#include <cerrno>
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

} // namespace

ExportResult file_export(const tvmfs_inode& inode, const std::string& host_path, const ExportProgress& progress,
                         const ExportOptions& options) {
    DestinationCheck check = DestinationCheck::cannot_open;
    HostFile out;
    if (inode.size >= 0) out = open_destination(host_path, options.to_device, check);
    if (!out.ok()) {
        ExportResult r;
        r.failure = inode.size < 0                           ? ExportFailure::negative_size
                    : check == DestinationCheck::is_input  ? ExportFailure::destination_is_input
                    : check == DestinationCheck::is_device ? ExportFailure::destination_is_device
                                                           : ExportFailure::create;
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
