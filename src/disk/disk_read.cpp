#include "disk/disk_read.h"

#include "disk/sector_reader.h"
#include "disk/sector_source.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ds {
namespace {

struct ChunkCache {
    std::string device;      // empty while the chunk holds nothing valid
    int64_t start = 0;       // device byte offset of data[0]
    int64_t length = 0;      // valid bytes in data (shorter at the device's end)
    std::vector<uint8_t> data = std::vector<uint8_t>(kChunkSize);
};

ChunkCache& cache() {
    static ChunkCache c;
    return c;
}

int64_t g_disk_sectors = 0;
int64_t g_chunk_reads = 0;

// Reads the chunk that starts at the sector holding pos. The chunk is cut at
// the device's end so that bytes near the end of an image stay readable.
bool load_chunk(const std::string& device, int64_t sector, int64_t device_bytes) {
    ChunkCache& c = cache();
    c.device.clear();   // a failed read must never leave a stale chunk behind
    int64_t start = sector * kSectorSize;
    int64_t want = std::min<int64_t>(kChunkSize, device_bytes - start);
    want -= want % kSectorSize;
    if (want <= 0) return false;
    ++g_chunk_reads;
    if (!sector_source().read(device, start, want, c.data.data())) return false;
    c.device = device;
    c.start = start;
    c.length = want;
    return true;
}

} // namespace

int64_t& disk_sectors() { return g_disk_sectors; }

void disk_cache_reset() {
    cache().device.clear();
    cache().start = 0;
    cache().length = 0;
    g_chunk_reads = 0;
}

int64_t disk_chunk_reads() { return g_chunk_reads; }

int64_t disk_read(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len) {
    if (pos < 0 || len < 0 || index < 0 || len > INT32_MAX) return -1;
    if (len == 0) return 0;
    ChunkCache& c = cache();
    if (!c.device.empty() && c.device == device && pos >= c.start && pos + len <= c.start + c.length) {
        std::memcpy(buffer + index, c.data.data() + (pos - c.start), static_cast<size_t>(len));
        return len;
    }
    int64_t device_bytes = device_size(device);
    if (device_bytes < 0 || pos > device_bytes - len) return -1;

    int64_t rem = pos % kSectorSize;
    int64_t sector = pos / kSectorSize;
    int64_t done = 0;
    while (done < len) {
        if (!load_chunk(device, sector, device_bytes)) return -1;
        int64_t take = std::min(len - done, c.length - rem);
        std::memcpy(buffer + index + done, c.data.data() + rem, static_cast<size_t>(take));
        done += take;
        rem = 0;
        sector += c.length / kSectorSize;
    }
    return done;
}

} // namespace ds
