#pragma once
// A real failing disk for end-to-end tests: an image served through FUSE by
// faultfs, whose reads of given byte ranges fail with EIO in the kernel's
// own error path; and a datumsift mount run in the foreground beside it.

#include <string>
#include <sys/types.h>
#include <vector>

namespace evtest {

// Why these tests cannot run here (no /dev/fuse, fusermount3, ddrescue or
// ddrescuelog), or nullptr when they can.
const char* why_no_fuse();

// faultfs serving image at mountpoint/image with bad ranges
// ("OFFSET+LENGTH"), for one test.
class FaultyDisk {
public:
    FaultyDisk(const std::string& image, const std::string& mountpoint, const std::vector<std::string>& bad);
    ~FaultyDisk();
    FaultyDisk(const FaultyDisk&) = delete;
    FaultyDisk& operator=(const FaultyDisk&) = delete;
    bool ready() const { return ready_; }
    std::string path() const { return mountpoint_ + "/image"; }

private:
    std::string mountpoint_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// `datumsift ARGS... mount -f MOUNTPOINT`, its stderr kept in a file; ready
// once probe (a path below the mount point) can be seen.
class ForegroundMount {
public:
    ForegroundMount(const std::vector<std::string>& args, const std::string& mountpoint, const std::string& probe,
                    const std::string& stderr_path);
    ~ForegroundMount();
    ForegroundMount(const ForegroundMount&) = delete;
    ForegroundMount& operator=(const ForegroundMount&) = delete;
    bool ready() const { return ready_; }
    // Unmounts and waits for the command: its exit status (-1 if it did not exit).
    int finish();

private:
    std::string mountpoint_;
    pid_t pid_ = -1;
    bool ready_ = false;
    int status_ = -1;
};

} // namespace evtest
