#pragma once
// Measuring tools: a sector source that counts what reaches the disk, a
// child process per measurement (so that its peak resident size is its own),
// and external commands run with their own peak resident size.

#include "disk/sector_source.h"
#include "manifest.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace dsbench {

// Passes every read to the POSIX source and counts it.
class CountingSource final : public ds::SectorSource {
public:
    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override;
    int64_t size(const std::string& device) override;
    void close_all() override;
    // The mount splices from the image itself, as it does over the plain
    // source; those bytes are not counted.
    int raw_fd(const std::string& device) override { return posix_->raw_fd(device); }

    int64_t reads = 0;
    int64_t bytes = 0;
    // Bad sectors of a damaged disk: a read touching any byte of these
    // (device, offset, length) fails, as a disk's does, and still counts.
    struct BadRange {
        std::string device;
        int64_t off = 0;
        int64_t len = 0;
    };
    std::vector<BadRange> bad;   // sorted by device, then offset

    // Bytes of the devices that at least one read since the last clear
    // covered: what bytes/distinct_bytes times each byte was read. The
    // ranges are kept in a list, one per read (thousands in a figure).
    int64_t distinct_bytes() const;
    void clear();

private:
    std::unique_ptr<ds::SectorSource> posix_ = ds::make_posix_source();
    struct Range {
        std::string device;
        int64_t off = 0;
        int64_t len = 0;
    };
    mutable std::mutex mutex_;   // a mount serves reads on its own thread
    std::vector<Range> ranges_;
};

// Results a child hands back to the parent, as text fields.
using Fields = std::map<std::string, std::string>;

struct ChildOutcome {
    bool ok = false;            // exited 0 and reported no error
    std::string error;          // why not
    Fields fields;
    double peak_rss_mib = 0;    // the child's ru_maxrss
};

// Runs body in a forked child and collects what it returns. An exception in
// body, a crash or a non-zero exit is reported as not ok, never thrown.
ChildOutcome run_child(const std::function<Fields()>& body);

struct ProcessOutcome {
    bool ok = false;
    double peak_rss_mib = 0;
    double cpu_seconds = 0;   // user and system time
    int64_t read_bytes = -1;  // what its read calls returned in all ("rchar"); -1: unknown
};

// Runs argv (searched in PATH) and waits for it; its standard output goes
// to stdout_path when one is given.
ProcessOutcome run_process(const std::vector<std::string>& argv, const std::string& stdout_path = {});
// The same in two steps, for a process that serves while others run: the
// pid (-1 when it could not be started), then its outcome once it ended.
pid_t spawn_process(const std::vector<std::string>& argv, const std::string& stdout_path = {});
ProcessOutcome wait_process(pid_t pid);

// True when file holds exactly the bytes of the extents, in order: what dd
// copies for them.
bool file_matches_extents(const std::string& file, const std::vector<Extent>& extents);

// Writes back every dirty page of the host, so that a timed write starts
// without another run's output pending (the kernel throttles writers when
// too much is dirty).
void write_back_dirty_pages();

struct Timing {
    double wall = 0;   // seconds
    double cpu = 0;    // seconds of this process on a CPU: steadier than wall on a busy host
};

struct DdRun {
    bool ok = false;
    Timing t;
    double peak_rss_mib = 0;
};

// dd bs=1M of the extents' bytes from their images to /dev/null, one process
// per stretch of an image: what reading those bytes costs at the least.
// Extents on no image (holes) are not read, so the stretches on either side
// of one are read by the same dd when they follow each other in the image.
DdRun dd_to_null(const std::vector<Extent>& extents);

class Stopwatch {
public:
    Stopwatch() : wall0_(std::chrono::steady_clock::now()), cpu0_(process_cpu()) {}
    Timing elapsed() const {
        return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0_).count(),
                process_cpu() - cpu0_};
    }

private:
    static double process_cpu();
    std::chrono::steady_clock::time_point wall0_;
    double cpu0_;
};

} // namespace dsbench
