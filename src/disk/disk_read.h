#pragma once
// Byte-granular reads of a device through a cache of 1 MiB chunks.

#include <cstdint>
#include <string>

namespace ds {

inline constexpr int64_t kChunkSize = 1048576;   // 2048 sectors

// Reads at least this long go straight to the caller's buffer: copying them
// through the cache would only cost time, and they would evict metadata.
// Shorter ones are answered from the cached chunks.
inline constexpr int64_t kDirectReadMin = 256 * 1024;

// Copies the len bytes at byte offset pos of device into buffer[index...].
// Returns len, or -1 when a sector read fails or the range leaves the device.
int64_t disk_read(const std::string& device, uint8_t* buffer, int32_t index, int64_t pos, int64_t len);

// Forgets the cached chunk (tests, and after the source changes).
void disk_cache_reset();

// Number of chunk reads that reached the device since the last reset.
int64_t disk_chunk_reads();

} // namespace ds
