#pragma once
// The one seam between the program and storage. A datastore reads through the
// SectorSource it was given; tests and fuzzers hand it one that holds disks in
// memory, fails or counts on purpose.

#include <cstdint>
#include <memory>
#include <string>

namespace ds {

// Implementations must answer read and size from several threads at once.
class SectorSource {
public:
    virtual ~SectorSource() = default;
    // Reads exactly len bytes at byte offset off of the device; false on any
    // failure or short read, with errno set to the system's reason where it
    // gave one (left alone otherwise). Never writes to the device.
    virtual bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) = 0;
    // Size of the device in bytes, or -1 when it cannot be opened.
    virtual int64_t size(const std::string& device) = 0;
    // Closes whatever handles the source keeps open.
    virtual void close_all() {}
    // A read-only descriptor whose byte k is the device's byte k (a raw image
    // or a block device), for a caller that lets the kernel move the bytes
    // (splice) instead of reading them; it stays open until close_all. -1
    // where the bytes must pass through the source's own code: evidence
    // images, memory, sources that count or fail reads on purpose.
    virtual int raw_fd(const std::string& device) { (void)device; return -1; }
};

// Image files and block devices, opened read-only and read with pread; a
// file that begins with an Expert Witness signature is read as evidence.
// Every descriptor it opened is closed when it is destroyed.
std::unique_ptr<SectorSource> make_posix_source();

} // namespace ds
