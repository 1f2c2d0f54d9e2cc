#include "disk/disk_read.h"

#include "disk/sector_reader.h"
#include "disk/sector_source.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace ds {
namespace {

// A small set of 1 MiB chunks, aligned to 1 MiB of their device, replaced
// least recently used first. Several chunks let metadata (descriptors,
// pointer blocks, bitmap entries) stay cached while data streams past.
constexpr int kCacheChunks = 8;

struct Chunk {
    int device = -1;       // index into device_names; -1 while empty
    int64_t start = 0;     // device byte offset of data[0]
    int64_t length = 0;    // valid bytes (shorter at the device's end)
    uint64_t last_use = 0;
    std::unique_ptr<uint8_t[]> data;
};

struct Cache {
    std::vector<std::string> device_names;
    std::vector<int64_t> device_bytes;   // asked once per device: inputs never change
    std::vector<Chunk> chunks = std::vector<Chunk>(kCacheChunks);
    uint64_t clock = 0;

    int device_id(const std::string& device) {
        auto it = std::find(device_names.begin(), device_names.end(), device);
        if (it != device_names.end()) return static_cast<int>(it - device_names.begin());
        device_names.push_back(device);
        device_bytes.push_back(device_size(device));
        return static_cast<int>(device_names.size() - 1);
    }
    Chunk* find(int device, int64_t start) {
        for (Chunk& c : chunks)
            if (c.device == device && c.start == start) return &c;
        return nullptr;
    }
    Chunk& victim() {
        return *std::min_element(chunks.begin(), chunks.end(),
                                 [](const Chunk& a, const Chunk& b) { return a.last_use < b.last_use; });
    }
};

Cache& cache() {
    static Cache c;
    return c;
}

int64_t g_chunk_reads = 0;

// The chunk that holds byte offset start of the device, read when missing.
// A failed read leaves the slot empty, never holding stale bytes.
const Chunk* chunk_at(const std::string& device, int id, int64_t start, int64_t device_bytes) {
    Cache& c = cache();
    Chunk* hit = c.find(id, start);
    if (!hit) {
        Chunk& slot = c.victim();
        slot.device = -1;
        if (!slot.data) slot.data = std::make_unique_for_overwrite<uint8_t[]>(kChunkSize);
        int64_t want = std::min(kChunkSize, device_bytes - start);
        ++g_chunk_reads;
        if (want <= 0 || !sector_source().read(device, start, want, slot.data.get())) return nullptr;
        slot.device = id;
        slot.start = start;
        slot.length = want;
        hit = &slot;
    }
    hit->last_use = ++c.clock;
    return hit;
}

} // namespace

void disk_cache_reset() {
    Cache& c = cache();
    for (Chunk& chunk : c.chunks) chunk.device = -1;
    c.device_names.clear();
    c.device_bytes.clear();
    g_chunk_reads = 0;
}

int64_t disk_chunk_reads() { return g_chunk_reads; }

int64_t disk_read(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len) {
    if (pos < 0 || len < 0 || index < 0 || len > INT32_MAX) return -1;
    if (len == 0) return 0;
    Cache& c = cache();
    int id = c.device_id(device);
    int64_t device_bytes = c.device_bytes[static_cast<size_t>(id)];
    if (device_bytes < 0) {
        // Not openable when first asked; the operator may have fixed that.
        device_bytes = c.device_bytes[static_cast<size_t>(id)] = device_size(device);
    }
    if (device_bytes < 0 || pos > device_bytes - len) return -1;
    uint8_t* out = buffer + index;
    if (len >= kDirectReadMin) {
        ++g_chunk_reads;
        return sector_source().read(device, pos, len, out) ? len : -1;
    }
    int64_t done = 0;
    while (done < len) {
        int64_t at = pos + done;
        const Chunk* chunk = chunk_at(device, id, at - at % kChunkSize, device_bytes);
        if (!chunk) return -1;
        int64_t off = at - chunk->start;
        int64_t take = std::min(len - done, chunk->length - off);
        std::memcpy(out + done, chunk->data.get() + off, static_cast<size_t>(take));
        done += take;
    }
    return done;
}

} // namespace ds
