#include "disk/ewf_source.h"

#include "disk/byte_ranges.h"

#include <libewf.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <map>
#include <mutex>
#include <vector>

namespace ds {
namespace {

constexpr uint8_t kEwf1Signature[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kEwf2Signature[8] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};

// Segment file names of the set that path starts. libewf finds them by the
// naming scheme; a first segment that does not follow it (renamed evidence)
// is opened on its own.
std::vector<std::string> segment_files(const std::string& path) {
    std::vector<std::string> out;
    char** names = nullptr;
    int count = 0;
    libewf_error_t* error = nullptr;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) == 1) {
        for (int i = 0; i < count; ++i) out.emplace_back(names[i]);
        libewf_glob_free(names, count, nullptr);
    }
    libewf_error_free(&error);
    if (out.empty()) out.push_back(path);
    return out;
}

// libewf opens a set that lacks some of its segments (or whose segment
// files are damaged) and then answers the reads that reach the missing
// chunks with zeros, as if they were data. Such a set is refused at once:
// a datastore read from it would look whole and be wrong.
bool set_is_whole(libewf_handle_t* handle) { return libewf_handle_segment_files_corrupted(handle, nullptr) == 0; }

// libewf hands out a chunk whose checksum fails as if it were data (zeroed)
// and only notes its sectors among the set's checksum errors, which it
// gathers as reads meet them. A read that touched any of them fails as a
// read of a bad sector does: the range is unreadable, never zeros.
// The list is kept sorted and merged by libewf; its length is the number of
// damaged runs met so far, none in a sound image.
bool touches_checksum_error(libewf_handle_t* handle, uint64_t bytes_per_sector, int64_t off, int64_t len) {
    uint32_t count = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle, &count, nullptr) != 1) return true;
    const uint64_t first = static_cast<uint64_t>(off) / bytes_per_sector;
    const uint64_t last = static_cast<uint64_t>(off + len - 1) / bytes_per_sector;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t start = 0, sectors = 0;
        if (libewf_handle_get_checksum_error(handle, i, &start, &sectors, nullptr) != 1) return true;
        if (start > last) break;
        if (sectors > 0 && (start >= first || sectors > first - start)) return true;
    }
    return false;
}

// The sectors the acquirer could not read, as byte ranges of the media in
// order and merged. What the image holds there (zeros, or whatever a failed
// read left) is not the source's. The list comes from the image and is
// untrusted: ranges are clamped to the media, an empty or wholly outside one
// is dropped. False when libewf cannot give the list.
bool acquiry_errors(libewf_handle_t* handle, uint64_t bytes_per_sector, int64_t media, std::vector<ByteSpan>& out) {
    uint32_t count = 0;
    if (libewf_handle_get_number_of_acquiry_errors(handle, &count, nullptr) != 1) return false;
    std::vector<ByteSpan> spans;
    const uint64_t size = static_cast<uint64_t>(media);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t start = 0, sectors = 0;
        if (libewf_handle_get_acquiry_error(handle, i, &start, &sectors, nullptr) != 1) return false;
        if (sectors == 0 || start >= size / bytes_per_sector + (size % bytes_per_sector != 0)) continue;
        const uint64_t first = start * bytes_per_sector;
        const uint64_t end = sectors > (size - first) / bytes_per_sector ? size : first + sectors * bytes_per_sector;
        spans.push_back({static_cast<int64_t>(first), static_cast<int64_t>(end - first)});
    }
    std::sort(spans.begin(), spans.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.offset < b.offset; });
    out.clear();
    for (const ByteSpan& r : spans) {
        if (!out.empty() && r.offset <= out.back().end()) {
            out.back().length = std::max(out.back().end(), r.end()) - out.back().offset;
            continue;
        }
        out.push_back(r);
    }
    return true;
}

// Whether [off, off + len) meets one of the ordered, merged ranges.
bool touches(const std::vector<ByteSpan>& ranges, int64_t off, int64_t len) {
    auto r = std::upper_bound(ranges.begin(), ranges.end(), off,
                              [](int64_t at, const ByteSpan& span) { return at < span.end(); });
    return len > 0 && r != ranges.end() && r->offset < off + len;
}

// One lock for the images: a libewf handle keeps its own read position and
// chunk cache and must not be read from two threads at once.
class EwfSource final : public SectorSource {
public:
    ~EwfSource() override { close_all(); }

    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        std::lock_guard lock(mutex_);
        Image* img = image(device);
        if (!img || off < 0 || len < 0 || off > img->size || len > img->size - off) return false;
        // Sectors the acquirer could not read fail as a bad sector's read
        // does, whatever bytes stand in for them in the image.
        if (touches(img->unread, off, len)) {
            errno = EIO;
            return false;
        }
        int64_t done = 0;
        while (done < len) {
            ssize_t got = libewf_handle_read_random(img->handle, buf + done, static_cast<size_t>(len - done),
                                                    static_cast<off64_t>(off + done), nullptr);
            if (got <= 0) return false;
            if (touches_checksum_error(img->handle, img->bytes_per_sector, off + done, got)) {
                errno = EIO;
                return false;
            }
            done += got;
        }
        return true;
    }

    int64_t size(const std::string& device) override {
        std::lock_guard lock(mutex_);
        Image* img = image(device);
        return img ? img->size : -1;
    }

    void close_all() override {
        std::lock_guard lock(mutex_);
        for (auto& [name, img] : images_) {
            libewf_handle_close(img.handle, nullptr);
            libewf_handle_free(&img.handle, nullptr);
        }
        images_.clear();
    }

private:
    struct Image {
        libewf_handle_t* handle = nullptr;
        int64_t size = 0;
        uint64_t bytes_per_sector = 512;
        std::vector<ByteSpan> unread;   // the acquisition's read errors
    };

    Image* image(const std::string& device) {
        auto it = images_.find(device);
        if (it != images_.end()) return &it->second;
        if (device.empty()) return nullptr;
        std::vector<std::string> files = segment_files(device);
        std::vector<char*> argv;
        for (std::string& f : files) argv.push_back(f.data());
        Image img;
        size64_t media = 0;
        uint32_t sector_bytes = 0;
        if (libewf_handle_initialize(&img.handle, nullptr) != 1) return nullptr;
        if (libewf_handle_open(img.handle, argv.data(), static_cast<int>(argv.size()), LIBEWF_OPEN_READ, nullptr) !=
                1 ||
            libewf_handle_get_media_size(img.handle, &media, nullptr) != 1 ||
            media > static_cast<size64_t>(INT64_MAX) ||
            libewf_handle_get_bytes_per_sector(img.handle, &sector_bytes, nullptr) != 1 || sector_bytes == 0 ||
            !set_is_whole(img.handle) ||
            !acquiry_errors(img.handle, sector_bytes, static_cast<int64_t>(media), img.unread)) {
            libewf_handle_close(img.handle, nullptr);
            libewf_handle_free(&img.handle, nullptr);
            // A failed open is not remembered: a missing segment may be
            // copied in and the command run again.
            return nullptr;
        }
        img.size = static_cast<int64_t>(media);
        img.bytes_per_sector = sector_bytes;
        return &images_.emplace(device, img).first->second;
    }

    std::mutex mutex_;
    std::map<std::string, Image> images_;
};

} // namespace

bool is_ewf_file(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    uint8_t head[8] = {};
    ssize_t got;
    do {
        got = ::pread(fd, head, sizeof head, 0);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof head) &&
           (std::memcmp(head, kEwf1Signature, 8) == 0 || std::memcmp(head, kEwf2Signature, 8) == 0);
}

std::vector<std::string> device_files(const std::string& device) {
    int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {device};
    const bool ewf = is_ewf_file(fd);
    ::close(fd);
    if (!ewf) return {device};
    return segment_files(device);
}

std::unique_ptr<SectorSource> make_ewf_source() { return std::make_unique<EwfSource>(); }

} // namespace ds
