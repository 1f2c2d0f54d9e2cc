// A sparse image file written with positioned writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dsb {

class ImageFile {
public:
    // Creates (or empties) the file and gives it its full length as a hole,
    // so only the bytes that are written later take disk space.
    static ImageFile create(const std::string& path, std::uint64_t size);

    ImageFile(ImageFile&& other) noexcept;
    ImageFile& operator=(ImageFile&& other) noexcept;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile();

    void write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    void read(std::uint64_t offset, std::span<std::uint8_t> out) const;

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }

private:
    ImageFile(int fd, std::string path, std::uint64_t size) : fd_(fd), path_(std::move(path)), size_(size) {}
    int fd_ = -1;
    std::string path_;
    std::uint64_t size_ = 0;
};

} // namespace dsb
