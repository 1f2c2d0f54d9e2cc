#include "image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace dsb {

namespace {
[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error("dsb: " + what + " " + path + ": " + std::strerror(errno));
}
} // namespace

ImageFile ImageFile::create(const std::string& path, std::uint64_t size) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create", path);
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        fail("cannot size", path);
    }
    return ImageFile(fd, path, size);
}

ImageFile::ImageFile(ImageFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), size_(other.size_) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

void ImageFile::write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    // Writing past the end would silently grow the image and hide a layout bug.
    if (offset > size_ || bytes.size() > size_ - offset) throw std::out_of_range("dsb: write past end of " + path_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", path_);
        }
        done += static_cast<std::size_t>(n);
    }
}

void ImageFile::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > size_ || out.size() > size_ - offset) throw std::out_of_range("dsb: read past end of " + path_);
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot read", path_);
        }
        if (n == 0) throw std::runtime_error("dsb: short read in " + path_);
        done += static_cast<std::size_t>(n);
    }
}

} // namespace dsb
