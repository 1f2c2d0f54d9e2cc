#include "export/file_export.h"
#include "vmfs/datastore.h"

#include "export/chunk_digest.h"

#include <algorithm>
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

} // namespace

namespace {

// The outcome of a copy whose destination never opened; err is the host's
// reason.
ExportResult not_opened(const File& file, DestinationCheck check, const ExportOptions& options, int err) {
    ExportResult r;
    r.failure = file.size() < 0                           ? ExportFailure::negative_size
                : check == DestinationCheck::is_input  ? ExportFailure::destination_is_input
                : check == DestinationCheck::is_device ? ExportFailure::destination_is_device
                : check == DestinationCheck::exists    ? ExportFailure::exists
                                                       : ExportFailure::create;
    if (r.failure == ExportFailure::create) r.host_errno = err;
    // The digest of nothing: every outcome carries one when asked for.
    static const uint8_t nothing = 0;
    if (options.sha256) r.sha256 = sha256_hex(&nothing, 0);
    return r;
}

} // namespace

ExportResult file_export(const Datastore& store, const File& file, const std::string& host_path, const ExportProgress& progress,
                         const ExportOptions& options) {
    DestinationCheck check = DestinationCheck::cannot_open;
    HostFile out;
    errno = 0;
    if (file.size() >= 0) out = open_destination(store, host_path, options.to_device, check, options.no_clobber);
    if (!out.ok()) return not_opened(file, check, options, errno);
    return file_export(store, file, out, progress, options);
}

ExportResult file_export_to_descriptor(const Datastore& store, const File& file, int fd, const ExportProgress& progress,
                                       const ExportOptions& options) {
    DestinationCheck check = DestinationCheck::cannot_open;
    HostFile out;
    errno = 0;
    if (file.size() >= 0) out = adopt_descriptor(store, fd, options.to_device, check);
    if (!out.ok()) return not_opened(file, check, options, errno);
    return file_export(store, file, out, progress, options);
}

ExportResult file_export(const Datastore& store, const File& file, HostFile& out, const ExportProgress& progress,
                         const ExportOptions& options) {
    ExportResult r;
    // A run is never longer than the file can be read: a small file gets
    // buffers of its own size, not megabytes it would never fill.
    const int64_t extent = file.size() >= 0 ? store.addressable(file) : 0;
    const int64_t run = std::clamp<int64_t>(extent, 1, kExportRun);
    std::unique_ptr<ChunkDigest> digest;
    if (options.sha256) digest = std::make_unique<ChunkDigest>(true, run, kDigestBuffers);
    // Every outcome reports the digest of what the host file holds, a
    // partial copy included.
    auto done = [&r, &digest] {
        if (digest) r.sha256 = digest->finish();
        return r;
    };
    auto fail = [&r, &done, &out](ExportFailure why) {
        r.failure = why;
        out.close(false);
        return done();
    };
    // Unreadable bytes are handed on once the copy is past them, merged
    // across runs, so that no list of them is ever held whole.
    ByteSpan pending;
    auto hand_on = [&r, &pending, &options] {
        if (pending.length <= 0) return true;
        r.unreadable_bytes += pending.length;
        ++r.unreadable_ranges;
        const ByteSpan span = pending;
        pending = {};
        return !options.unreadable || options.unreadable(span);
    };
    std::vector<ByteSpan> lost;
    const int64_t size = file.size();
    if (size < 0) return fail(ExportFailure::negative_size);
    if (!out.ok()) return fail(ExportFailure::create);
    r.opened = true;

    {
        // A damaged descriptor can claim a size its block list cannot reach,
        // or name the same blocks over and over: the copy ends at bounds no
        // real file passes instead of writing for days.
        const int64_t volume_bytes = store.capacity();
        int64_t stored = 0;   // bytes read from the volume; holes are not stored
        int64_t p = 0;
        // One buffer per copy, so that copies on several threads never share
        // one; left unfilled: only the bytes read into it are written out.
        std::unique_ptr<uint8_t[]> own;
        if (!digest) own = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(run));
        // The bytes pass through this process on purpose, even where a run
        // lies whole in a raw image and the kernel could copy it
        // (copy_file_range): runs of zeros in stored blocks become holes only
        // after they are looked at, the digest must see every byte, and a
        // failed read is found and reported at the block that causes it. The
        // copy through memory costs about what dd's does.
        while (p < extent) {
            // With a digest the run is read into a buffer it lends, which
            // it hashes on its own thread once the run is written. A hole
            // is read into no buffer at all.
            uint8_t* buf = digest ? digest->buffer() : own.get();
            bool hole = false;
            int64_t n = 0;
            lost.clear();
            const Status read = options.rescue
                                    ? store.read_run(file, buf, std::min(run, extent - p), p, n, hole, lost)
                                    : store.read_run(file, buf, std::min(run, extent - p), p, n, hole);
            bool volume_full = false;
            if (n > 0 && !hole) {
                if (n > volume_bytes - stored) {
                    n = std::max<int64_t>(volume_bytes - stored, 0);
                    volume_full = true;
                }
                stored += n;
            }
            if (options.bytes_read) *options.bytes_read = stored;
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
                int64_t stored = 0;
                errno = 0;
                write_failed = !out.write(bytes + written, piece, &stored, hole);
                if (write_failed) {
                    r.host_errno = errno;
                    // What the host took of a piece it refused is in the
                    // file, and counted and hashed as such.
                    written += stored;
                    r.bytes_written = p + written;
                    break;
                }
                written += piece;
                r.bytes_written = p + written;
                // A small file is written in one piece from its descriptor:
                // once reported it is whole, with nothing left to cancel.
                cancelled = progress && !progress(p + written, size) && !file.info().stored_inline();
            }
            // The digest covers exactly the bytes written.
            if (digest) {
                digest->submit(hole ? 0 : written);
                if (hole) digest->add(zeros(), written);
            }
            bool sink_refused = false;
            for (const ByteSpan& span : lost) {
                // Only what the file now holds counts.
                const ByteSpan kept{span.offset, std::min(span.end(), p + written) - span.offset};
                if (kept.length <= 0) break;
                if (pending.length > 0 && pending.end() == kept.offset) {
                    pending.length += kept.length;
                    continue;
                }
                if (!hand_on()) sink_refused = true;
                pending = kept;
            }
            if (sink_refused) {
                hand_on();
                return fail(ExportFailure::unreadable_sink);
            }
            if (!read) {
                r.read_failure = read.failure;
                hand_on();
                return fail(ExportFailure::read);
            }
            if (write_failed || cancelled || volume_full) hand_on();
            if (write_failed) return fail(ExportFailure::write);
            if (cancelled) return fail(ExportFailure::cancelled);
            p += n;
            if (volume_full) return fail(ExportFailure::past_volume);
            if (n == 0) break;
        }
        if (!hand_on()) return fail(ExportFailure::unreadable_sink);
        if (p < size) return fail(ExportFailure::past_addressable);
    }
    errno = 0;
    if (!(options.sync_later ? out.close_unsynced() : out.close())) {
        r.host_errno = errno;
        return fail(ExportFailure::write);
    }
    return done();
}

} // namespace ds
