#include "disk/sector_source.h"

#include "disk/ewf_source.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ds {
namespace {

// Stands in the descriptor table for a device that is an evidence image.
constexpr int kEvidence = -2;

// Keeps one read-only descriptor per device text so that a long export does
// not reopen the device for every chunk. Nothing here ever opens for writing.
// The table is guarded; the reads themselves run unlocked (pread keeps no
// file position), so readers on several threads never wait for each other.
class PosixSource final : public SectorSource {
public:
    ~PosixSource() override { close_all(); }

    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        if (off < 0 || len < 0) return false;
        int fd = handle(device);
        if (fd == kEvidence) return evidence().read(device, off, len, buf);
        if (fd < 0) return false;
        int64_t done = 0;
        while (done < len) {
            ssize_t got = ::pread(fd, buf + done, static_cast<size_t>(len - done), off + done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return false;   // errno is pread's
            if (got == 0) {
                errno = 0;   // the device ended early: no reason to give
                return false;
            }
            done += got;
        }
        return true;
    }

    int64_t size(const std::string& device) override {
        int fd = handle(device);
        if (fd == kEvidence) return evidence().size(device);
        if (fd < 0) return -1;
        struct stat st {};
        if (::fstat(fd, &st) != 0) return -1;
        if (S_ISBLK(st.st_mode)) {
            uint64_t bytes = 0;
            if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
            return static_cast<int64_t>(bytes);
        }
        return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
    }

    int raw_fd(const std::string& device) override {
        const int fd = handle(device);
        return fd >= 0 ? fd : -1;
    }

    // Not to be called while reads are running: the descriptors they use go.
    void close_all() override {
        std::lock_guard lock(mutex_);
        for (auto& [name, fd] : fds_)
            if (fd >= 0) ::close(fd);
        fds_.clear();
        if (evidence_) evidence_->close_all();
    }

private:
    SectorSource& evidence() {
        std::lock_guard lock(mutex_);
        if (!evidence_) evidence_ = make_ewf_source();
        return *evidence_;
    }

    int handle(const std::string& device) {
        std::lock_guard lock(mutex_);
        auto it = fds_.find(device);
        if (it != fds_.end()) return it->second;
        if (device.empty()) return -1;
        int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        // A failed open is not remembered: the operator may fix permissions.
        if (fd < 0) return fd;
        // An image file that begins with an Expert Witness signature is read
        // through libewf, whatever its name; every other file and every block
        // device is read as raw sectors.
        if (is_ewf_file(fd)) {
            ::close(fd);   // libewf opens the segment files itself
            fd = kEvidence;
        }
        fds_.emplace(device, fd);
        return fd;
    }

    std::mutex mutex_;
    std::map<std::string, int> fds_;
    std::unique_ptr<SectorSource> evidence_;
};

} // namespace

std::unique_ptr<SectorSource> make_posix_source() { return std::make_unique<PosixSource>(); }

} // namespace ds
