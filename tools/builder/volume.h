// The logical volume: member images, their volume headers, and the mapping
// of a logical-volume offset to a member and a byte of its image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image_file.h"

namespace dsb {

using Uuid = std::array<std::uint8_t, 16>;

struct RawPatch {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

// Replacements for volume-header fields, applied after the honest values
// are encoded; used to make disks that a reader has to refuse.
struct HeaderOverrides {
    std::optional<std::uint32_t> magic;
    std::optional<std::uint32_t> version;
    std::optional<std::uint8_t> lun;
    std::optional<std::string> name;
    std::optional<std::uint64_t> size;
    std::optional<Uuid> uuid;
    std::optional<std::int64_t> lvm_size;
    std::optional<std::int64_t> lvm_blocks;
    std::optional<Uuid> lvm_uuid;
    std::optional<std::int32_t> num_segments;
    std::optional<std::int32_t> first_segment;
    std::optional<std::int32_t> last_segment;
    std::optional<std::int32_t> num_extents;
    std::vector<RawPatch> patches; // offsets within the 1024-byte header
};

struct MemberSpec {
    std::string path;
    std::int64_t start_sector = 2048;
    std::uint32_t first_segment = 0; // segments of the logical volume this member holds
    std::uint32_t last_segment = 0;
    HeaderOverrides header;
    bool partition_table = true; // an MBR at sector 0 naming the partition
};

struct VolumeSpec {
    std::vector<MemberSpec> members;
    Uuid lvm_uuid{};
    std::string name = "datastore1";
};

class Volume {
public:
    explicit Volume(VolumeSpec spec);

    // Bytes of the logical volume covered by members (segments 0 .. highest).
    std::uint64_t size() const { return size_; }
    bool covers(std::uint64_t lv_offset) const;

    // Writes/reads split at segment edges, so a range may cross members.
    void write(std::uint64_t lv_offset, std::span<const std::uint8_t> bytes);
    void read(std::uint64_t lv_offset, std::span<std::uint8_t> out) const;

    struct Location {
        std::size_t member;
        std::uint64_t image_offset;
    };
    Location locate(std::uint64_t lv_offset) const;

    void write_member(std::size_t member, std::uint64_t image_offset, std::span<const std::uint8_t> bytes);
    void read_member(std::size_t member, std::uint64_t image_offset, std::span<std::uint8_t> out) const;

    const std::vector<MemberSpec>& members() const { return spec_.members; }
    std::vector<std::uint8_t> header_bytes(std::size_t member) const;
    std::uint64_t partition_offset(std::size_t member) const;

private:
    void write_header(std::size_t member);
    void write_partition_table(std::size_t member);

    VolumeSpec spec_;
    std::vector<ImageFile> images_;
    std::uint64_t size_ = 0;
};

} // namespace dsb
