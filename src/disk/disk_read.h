#pragma once
// Byte-granular reads of the devices of one datastore through a cache of
// 1 MiB chunks.

#include "disk/byte_ranges.h"
#include "disk/failure.h"
#include "disk/sector_source.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ds {

inline constexpr int64_t kChunkSize = 1048576;   // 2048 sectors

// Reads at least this long go straight to the caller's buffer: copying them
// through the cache would only cost time, and they would evict metadata.
// Shorter ones are answered from the cached chunks.
inline constexpr int64_t kDirectReadMin = 256 * 1024;

// The longest read DiskReader::read_probe serves on its own.
inline constexpr int64_t kProbeMax = 64 * 1024;

// The sector source of a datastore and its chunk cache. Reads may come from
// several threads at once: the cache is locked only while it is looked up or
// filled, never across a read of a device, so readers do not queue behind
// each other's device reads.
class DiskReader {
public:
    explicit DiskReader(std::unique_ptr<SectorSource> source);
    // A source kept by the caller, who keeps it alive longer than the reader.
    explicit DiskReader(SectorSource& source);
    // Closes every handle the source opened.
    ~DiskReader();
    DiskReader(const DiskReader&) = delete;
    DiskReader& operator=(const DiskReader&) = delete;

    // Copies the len bytes at byte offset pos of device into buffer[index...].
    // Returns len, or -1 when a sector read fails or the range leaves the
    // device; the calling thread's failure then says which.
    int64_t read(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len);

    // Reads like read, for a caller that looks at a few sectors here and
    // there (a signature, a header): from a cached chunk when one holds them
    // all, else only the bytes asked for are read from the device, and they
    // are not kept. Through read each such look would cost a whole chunk and
    // evict what the cache holds for readers that come back. Reads longer
    // than kProbeMax go through read.
    int64_t read_probe(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len);

    // Reads like read, but a failed read is narrowed down to the sectors
    // that fail: every readable sector around them is read, each failing
    // sector is tried 1 + retries() times, and what stays unreadable is
    // filled with zeros and appended to unreadable (offsets relative to
    // pos, in order, adjacent ones merged). A read that succeeds costs what
    // read costs. Returns len, or -1 when the device cannot be opened or the
    // range leaves it.
    int64_t read_salvage(const std::string& device, uint8_t* out, int64_t pos, int64_t len,
                         std::vector<ByteSpan>& unreadable);
    // Further tries of a sector whose read failed (0: tried once).
    void set_retries(int n) { retries_.store(n < 0 ? 0 : n, std::memory_order_relaxed); }
    int retries() const { return retries_.load(std::memory_order_relaxed); }

    // Size of an image file or block device in bytes; -1 when it cannot be opened.
    int64_t device_size(const std::string& device) { return source_.size(device); }

    SectorSource& source() { return source_; }

    // The source's descriptor of device for the kernel to read from, or -1
    // (see SectorSource::raw_fd). The cache is bypassed: such reads are long.
    int raw_fd(const std::string& device) { return source_.raw_fd(device); }

    // Forgets the cached chunks and the device sizes (tests; a new session).
    void reset();

    // Why the calling thread's last failed read failed, since it last
    // cleared it: the front ends put the code and the system's errno into
    // words. Fault::none when none of its reads failed: a failure of an
    // operation above then came from what the datastore holds. Other
    // threads' failures never show here.
    Failure thread_failure();
    void clear_thread_failure();
    // Notes for the calling thread a read the volume could not place on any
    // of its disks: the bytes lie in a segment of a member not given.
    void note_missing_member(int32_t segment);
    // Puts back a failure the calling thread had noted before a narrower
    // read around it cleared it.
    void restore_thread_failure(const Failure& failure) { note_failure(failure); }

    // Number of chunk reads that reached the device since the last reset.
    int64_t chunk_reads() const { return chunk_reads_.load(std::memory_order_relaxed); }
    // Number of reads asked of this reader since the last reset, answered
    // from the cache or not: what a scan costs in calls.
    int64_t requests() const { return requests_.load(std::memory_order_relaxed); }
    // Bytes asked of the source since the last reset: what a walk costs in
    // reads, whole chunks and all.
    int64_t bytes_read() const { return bytes_read_.load(std::memory_order_relaxed); }

private:
    struct Chunk {
        int device = -1;       // index into names_; -1 while empty
        int64_t start = 0;     // device byte offset of data[0]
        int64_t length = 0;    // valid bytes (shorter at the device's end)
        uint64_t last_use = 0;
        std::unique_ptr<uint8_t[]> data;
    };

    // Device id and size in bytes (-1 when it cannot be opened yet).
    int device_id(const std::string& device, int64_t& bytes);
    Chunk* find(int device, int64_t start);
    // Validates the range and finds the device; its id, or -1 (noted).
    int checked_device(const std::string& device, int64_t pos, int64_t len, int64_t& device_bytes);
    bool copy_from_chunk(const std::string& device, int id, int64_t at, int64_t device_bytes, uint8_t* out,
                         int64_t& take);
    // One read of the source past the cache: len, or -1 (noted).
    int64_t read_uncached(const std::string& device, int64_t pos, int64_t len, uint8_t* out);
    // Keeps why a read of the calling thread failed; returns false.
    bool note_failure(Fault fault, int sys_errno = 0);
    bool note_failure(const Failure& failure);
    void narrow(const std::string& device, uint8_t* out, int64_t pos, int64_t len, int64_t base,
                std::vector<ByteSpan>& unreadable);
    std::unique_ptr<uint8_t[]> take_buffer();
    void keep_buffer(std::unique_ptr<uint8_t[]> buffer);
    // Reads from the source, counted.
    bool source_read(const std::string& device, int64_t pos, int64_t len, uint8_t* out);

    std::unique_ptr<SectorSource> owned_;
    SectorSource& source_;
    std::mutex mutex_;                   // guards everything below but the counter
    std::vector<std::string> names_;
    std::vector<int64_t> sizes_;         // asked once per device: inputs never change
    std::vector<Chunk> chunks_;
    // Buffers of evicted chunks, handed to the next miss: a fresh 1 MiB
    // allocation is mapped anew by the allocator and faults in every page.
    std::vector<std::unique_ptr<uint8_t[]>> spare_;
    uint64_t clock_ = 0;
    // One entry per thread whose read failed and was not cleared since; a
    // handful, as many as the threads that read.
    std::vector<std::pair<std::thread::id, Failure>> failures_;
    std::atomic<int64_t> chunk_reads_{0};
    std::atomic<int64_t> requests_{0};
    std::atomic<int64_t> bytes_read_{0};
    std::atomic<int> retries_{0};
};

// Copies the len bytes at byte offset pos of device into buffer[index...]
// through the reader's cache; len, or -1.
inline int64_t disk_read(DiskReader& disk, const std::string& device, uint8_t* buffer, int32_t index, int64_t pos,
                         int64_t len) {
    return disk.read(device, buffer, index, pos, len);
}

} // namespace ds
