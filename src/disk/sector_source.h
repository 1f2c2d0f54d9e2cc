#pragma once
// The one seam between the program and storage. Everything above reads through
// the current SectorSource; tests swap in one that fails or counts on purpose.

#include <cstdint>
#include <string>

namespace ds {

class SectorSource {
public:
    virtual ~SectorSource() = default;
    // Reads exactly len bytes at byte offset off of the device; false on any
    // failure or short read. Never writes to the device.
    virtual bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) = 0;
    // Size of the device in bytes, or -1 when it cannot be opened.
    virtual int64_t size(const std::string& device) = 0;
    // Closes whatever handles the source keeps open.
    virtual void close_all() {}
};

// POSIX backend for image files and block devices: open(O_RDONLY) and pread.
SectorSource& posix_sector_source();

// The source every read goes through; defaults to the POSIX one.
SectorSource& sector_source();
// Replaces the source (nullptr restores the POSIX one). Also empties the cache.
void set_sector_source(SectorSource* source);

} // namespace ds
