#include "disk/disk_read.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ds {
namespace {

// Threads whose failures are kept at most: a failure nobody asked for is
// dropped, oldest first, beyond this.
constexpr size_t kKeptFailures = 64;

// A small set of 1 MiB chunks, aligned to 1 MiB of their device, replaced
// least recently used first. Several chunks let metadata (descriptors,
// pointer blocks, bitmap entries) stay cached while data streams past.
constexpr int kCacheChunks = 8;
constexpr size_t kSpareBuffers = kCacheChunks;

// A failed read is split into this many pieces, and each failing piece again,
// down to single sectors: one bad sector in a mebibyte costs about 40 reads,
// a wholly unreadable mebibyte about 2,300.
constexpr int64_t kSplitWays = 16;
constexpr int64_t kSector = 512;

} // namespace

DiskReader::DiskReader(std::unique_ptr<SectorSource> source)
    : owned_(std::move(source)), source_(*owned_), chunks_(kCacheChunks) {}

DiskReader::DiskReader(SectorSource& source) : source_(source), chunks_(kCacheChunks) {}

DiskReader::~DiskReader() { source_.close_all(); }

void DiskReader::reset() {
    std::lock_guard lock(mutex_);
    for (Chunk& chunk : chunks_) {
        chunk.device = -1;
        keep_buffer(std::move(chunk.data));
    }
    names_.clear();
    sizes_.clear();
    failures_.clear();
    chunk_reads_ = 0;
    requests_ = 0;
    bytes_read_ = 0;
}

bool DiskReader::source_read(const std::string& device, int64_t pos, int64_t len, uint8_t* out) {
    bytes_read_.fetch_add(len, std::memory_order_relaxed);
    return source_.read(device, pos, len, out);
}

bool DiskReader::note_failure(Fault fault, int sys_errno) { return note_failure(Failure{fault, sys_errno}); }

void DiskReader::note_missing_member(int32_t segment) { note_failure(Failure{Fault::missing_member, 0, segment}); }

bool DiskReader::note_failure(const Failure& noted) {
    const auto self = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    for (auto& [thread, failure] : failures_)
        if (thread == self) {
            failure = noted;
            return false;
        }
    if (failures_.size() >= kKeptFailures) failures_.erase(failures_.begin());
    failures_.push_back({self, noted});
    return false;
}

Failure DiskReader::thread_failure() {
    const auto self = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    for (const auto& [thread, failure] : failures_)
        if (thread == self) return failure;
    return {};
}

void DiskReader::clear_thread_failure() {
    const auto self = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    std::erase_if(failures_, [&](const auto& f) { return f.first == self; });
}

int DiskReader::device_id(const std::string& device, int64_t& bytes) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(names_.begin(), names_.end(), device);
        if (it != names_.end()) {
            const auto id = static_cast<size_t>(it - names_.begin());
            bytes = sizes_[id];
            if (bytes >= 0) return static_cast<int>(id);
        }
    }
    // Asked outside the lock: opening a device can take long. A device not
    // openable when first asked is asked again, the operator may fix that.
    bytes = source_.size(device);
    std::lock_guard lock(mutex_);
    auto it = std::find(names_.begin(), names_.end(), device);
    if (it == names_.end()) {
        names_.push_back(device);
        sizes_.push_back(bytes);
        return static_cast<int>(names_.size() - 1);
    }
    const auto id = static_cast<size_t>(it - names_.begin());
    if (sizes_[id] < 0) sizes_[id] = bytes;
    bytes = sizes_[id];
    return static_cast<int>(id);
}

std::unique_ptr<uint8_t[]> DiskReader::take_buffer() {
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            std::unique_ptr<uint8_t[]> buffer = std::move(spare_.back());
            spare_.pop_back();
            return buffer;
        }
    }
    return std::make_unique_for_overwrite<uint8_t[]>(kChunkSize);
}

// Callers hold the lock.
void DiskReader::keep_buffer(std::unique_ptr<uint8_t[]> buffer) {
    if (buffer && spare_.size() < kSpareBuffers) spare_.push_back(std::move(buffer));
}

DiskReader::Chunk* DiskReader::find(int device, int64_t start) {
    for (Chunk& c : chunks_)
        if (c.device == device && c.start == start) return &c;
    return nullptr;
}

// Copies what the chunk holding at has of the range into out; take says how
// many bytes. A missing chunk is read into a buffer of its own without the
// lock and then put in place of the least recently used one; a failed read
// leaves the cache as it was, never holding stale bytes.
bool DiskReader::copy_from_chunk(const std::string& device, int id, int64_t at, int64_t device_bytes, uint8_t* out,
                                 int64_t& take) {
    const int64_t start = at - at % kChunkSize;
    const int64_t off = at - start;
    bool short_chunk = false;
    {
        std::lock_guard lock(mutex_);
        if (Chunk* hit = find(id, start)) {
            hit->last_use = ++clock_;
            take = std::min(take, hit->length - off);
            if (take > 0) {
                std::memcpy(out, hit->data.get() + off, static_cast<size_t>(take));
                return true;
            }
            short_chunk = true;
        }
    }
    // Noted outside the lock, which note_failure takes itself.
    if (short_chunk) return note_failure(Fault::past_device);
    const int64_t want = std::min(kChunkSize, device_bytes - start);
    chunk_reads_.fetch_add(1, std::memory_order_relaxed);
    if (want <= 0) return note_failure(Fault::past_device);
    std::unique_ptr<uint8_t[]> fresh = take_buffer();
    errno = 0;
    const bool read = source_read(device, start, want, fresh.get());
    const int read_errno = errno;
    take = std::min(take, want - off);
    if (read && take > 0) std::memcpy(out, fresh.get() + off, static_cast<size_t>(take));
    if (!read || take <= 0) {
        {
            std::lock_guard lock(mutex_);
            keep_buffer(std::move(fresh));
        }
        // A bad sector elsewhere in the chunk must not cost the bytes asked
        // for: they are read alone before the read counts as failed.
        if (!read) {
            take = std::min(take, device_bytes - at);
            chunk_reads_.fetch_add(1, std::memory_order_relaxed);
            errno = 0;
            if (take > 0 && source_read(device, at, take, out)) return true;
        }
        return note_failure(read ? Fault::past_device : Fault::device_read, read ? 0 : read_errno);
    }
    std::lock_guard lock(mutex_);
    // Another reader may have brought in the same chunk meanwhile.
    if (find(id, start)) {
        keep_buffer(std::move(fresh));
        return true;
    }
    Chunk& slot = *std::min_element(chunks_.begin(), chunks_.end(),
                                    [](const Chunk& a, const Chunk& b) { return a.last_use < b.last_use; });
    keep_buffer(std::move(slot.data));
    slot.data = std::move(fresh);
    slot.device = id;
    slot.start = start;
    slot.length = want;
    slot.last_use = ++clock_;
    return true;
}

int DiskReader::checked_device(const std::string& device, int64_t pos, int64_t len, int64_t& device_bytes) {
    device_bytes = -1;
    errno = 0;
    const int id = device_id(device, device_bytes);
    if (device_bytes < 0 || pos > device_bytes - len) {
        note_failure(device_bytes < 0 ? Fault::device_unopenable : Fault::past_device, device_bytes < 0 ? errno : 0);
        return -1;
    }
    return id;
}

int64_t DiskReader::read_uncached(const std::string& device, int64_t pos, int64_t len, uint8_t* out) {
    chunk_reads_.fetch_add(1, std::memory_order_relaxed);
    errno = 0;
    if (source_read(device, pos, len, out)) return len;
    note_failure(Fault::device_read, errno);
    return -1;
}

int64_t DiskReader::read(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len) {
    if (pos < 0 || len < 0 || index < 0 || len > INT32_MAX) return -1;
    if (len == 0) return 0;
    requests_.fetch_add(1, std::memory_order_relaxed);
    int64_t device_bytes = -1;
    const int id = checked_device(device, pos, len, device_bytes);
    if (id < 0) return -1;
    uint8_t* out = buffer + index;
    if (len >= kDirectReadMin) return read_uncached(device, pos, len, out);
    int64_t done = 0;
    while (done < len) {
        int64_t take = len - done;
        if (!copy_from_chunk(device, id, pos + done, device_bytes, out + done, take)) return -1;
        done += take;
    }
    return done;
}

int64_t DiskReader::read_probe(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len) {
    if (len > kProbeMax) return read(device, buffer, index, pos, len);
    if (pos < 0 || len < 0 || index < 0) return -1;
    if (len == 0) return 0;
    requests_.fetch_add(1, std::memory_order_relaxed);
    int64_t device_bytes = -1;
    const int id = checked_device(device, pos, len, device_bytes);
    if (id < 0) return -1;
    uint8_t* out = buffer + index;
    const int64_t start = pos - pos % kChunkSize;
    {
        std::lock_guard lock(mutex_);
        if (Chunk* hit = find(id, start); hit && pos + len <= start + hit->length) {
            hit->last_use = ++clock_;
            std::memcpy(out, hit->data.get() + (pos - start), static_cast<size_t>(len));
            return len;
        }
    }
    return read_uncached(device, pos, len, out);
}

int64_t DiskReader::read_salvage(const std::string& device, uint8_t* out, int64_t pos, int64_t len,
                                 std::vector<ByteSpan>& unreadable) {
    if (read(device, out, 0, pos, len) == len) return len;
    if (thread_failure().fault != Fault::device_read) return -1;
    clear_thread_failure();
    narrow(device, out, pos, len, pos, unreadable);
    return len;
}

// Reads [pos, pos + len) by pieces that end on sector boundaries of the
// device, and each failing piece again by smaller ones; a failing piece
// within one sector is tried again retries() times, then zeroed and noted.
void DiskReader::narrow(const std::string& device, uint8_t* out, int64_t pos, int64_t len, int64_t base,
                        std::vector<ByteSpan>& unreadable) {
    const int64_t first_sector = pos / kSector;
    const int64_t sectors = (pos + len - 1) / kSector - first_sector + 1;
    if (sectors <= 1) {
        for (int tries = retries(); tries > 0; --tries) {
            chunk_reads_.fetch_add(1, std::memory_order_relaxed);
            if (source_read(device, pos, len, out)) return;
        }
        std::memset(out, 0, static_cast<size_t>(len));
        append_range(unreadable, {pos - base, len});
        return;
    }
    const int64_t step = (sectors + kSplitWays - 1) / kSplitWays * kSector;
    for (int64_t at = pos; at < pos + len;) {
        const int64_t cut = std::min(pos + len, (at / step + 1) * step);
        uint8_t* piece = out + (at - pos);
        chunk_reads_.fetch_add(1, std::memory_order_relaxed);
        if (!source_read(device, at, cut - at, piece)) narrow(device, piece, at, cut - at, base, unreadable);
        at = cut;
    }
}

} // namespace ds
