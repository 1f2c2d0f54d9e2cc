#include "volume.h"

#include <algorithm>
#include <stdexcept>

#include "layout.h"
#include "le.h"

namespace dsb {

using namespace layout;

namespace {
std::uint64_t member_segments(const MemberSpec& m) { return std::uint64_t{m.last_segment} - m.first_segment + 1; }
} // namespace

Volume::Volume(VolumeSpec spec) : spec_(std::move(spec)) {
    if (spec_.members.empty() || spec_.members.size() > kMaxMembers)
        throw std::invalid_argument("dsb: a volume needs 1 to 32 members");
    std::uint64_t top = 0;
    for (std::size_t i = 0; i < spec_.members.size(); ++i) {
        const MemberSpec& m = spec_.members[i];
        if (m.last_segment < m.first_segment || m.start_sector < 0)
            throw std::invalid_argument("dsb: member " + std::to_string(i) + " has a bad segment run or start sector");
        for (std::size_t j = 0; j < i; ++j) {
            const MemberSpec& o = spec_.members[j];
            if (m.first_segment <= o.last_segment && o.first_segment <= m.last_segment)
                throw std::invalid_argument("dsb: members overlap in segments");
        }
        top = std::max<std::uint64_t>(top, std::uint64_t{m.last_segment} + 1);
        std::uint64_t image_size = partition_offset(i) + kDataAreaOffset + member_segments(m) * kSegmentSize;
        images_.push_back(ImageFile::create(m.path, image_size));
    }
    size_ = top * kSegmentSize;
    for (std::size_t i = 0; i < images_.size(); ++i) {
        if (spec_.members[i].partition_table) write_partition_table(i);
        write_header(i);
    }
}

std::uint64_t Volume::partition_offset(std::size_t member) const {
    return static_cast<std::uint64_t>(spec_.members.at(member).start_sector) * kSectorSize;
}

bool Volume::covers(std::uint64_t lv_offset) const {
    std::uint64_t seg = lv_offset / kSegmentSize;
    return std::any_of(spec_.members.begin(), spec_.members.end(),
                       [&](const MemberSpec& m) { return m.first_segment <= seg && seg <= m.last_segment; });
}

Volume::Location Volume::locate(std::uint64_t lv_offset) const {
    std::uint64_t seg = lv_offset / kSegmentSize;
    for (std::size_t i = 0; i < spec_.members.size(); ++i) {
        const MemberSpec& m = spec_.members[i];
        if (m.first_segment <= seg && seg <= m.last_segment)
            return {i,
                    partition_offset(i) + kDataAreaOffset + lv_offset - std::uint64_t{m.first_segment} * kSegmentSize};
    }
    throw std::out_of_range("dsb: no member holds logical-volume offset " + std::to_string(lv_offset));
}

void Volume::write(std::uint64_t lv_offset, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        std::uint64_t room = kSegmentSize - lv_offset % kSegmentSize;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, bytes.size()));
        Location at = locate(lv_offset);
        images_[at.member].write(at.image_offset, bytes.first(n));
        bytes = bytes.subspan(n);
        lv_offset += n;
    }
}

void Volume::read(std::uint64_t lv_offset, std::span<std::uint8_t> out) const {
    while (!out.empty()) {
        std::uint64_t room = kSegmentSize - lv_offset % kSegmentSize;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, out.size()));
        Location at = locate(lv_offset);
        images_[at.member].read(at.image_offset, out.first(n));
        out = out.subspan(n);
        lv_offset += n;
    }
}

void Volume::write_member(std::size_t member, std::uint64_t image_offset, std::span<const std::uint8_t> bytes) {
    images_.at(member).write(image_offset, bytes);
}

void Volume::read_member(std::size_t member, std::uint64_t image_offset, std::span<std::uint8_t> out) const {
    images_.at(member).read(image_offset, out);
}

std::vector<std::uint8_t> Volume::header_bytes(std::size_t i) const {
    const MemberSpec& m = spec_.members.at(i);
    const HeaderOverrides& o = m.header;
    std::vector<std::uint8_t> h(kVolumeHeaderSize, 0);
    std::span<std::uint8_t> b(h);

    std::uint64_t total_segments = 0;
    for (const MemberSpec& x : spec_.members) total_segments += member_segments(x);
    // The member's own uuid differs per member; derive it from the volume's.
    Uuid own = spec_.lvm_uuid;
    own[15] = static_cast<std::uint8_t>(own[15] ^ (0xA5 + i));
    std::uint64_t member_bytes = kDataAreaOffset + member_segments(m) * kSegmentSize;

    put_le<std::uint32_t>(b, vh::kMagic, o.magic.value_or(kVolumeMagic));
    put_le<std::uint32_t>(b, vh::kVersion, o.version.value_or(3));
    put_le<std::uint8_t>(b, vh::kLun, o.lun.value_or(0));
    put_text(b, vh::kName, o.name.value_or(spec_.name).substr(0, vh::kNameLen), vh::kNameLen);
    put_le<std::uint64_t>(b, vh::kSize, o.size.value_or(member_bytes / 256), vh::kSizeLen);
    Uuid uuid = o.uuid.value_or(own);
    put_bytes(b, vh::kUuid, uuid);
    put_le<std::int64_t>(b, vh::kLvmSize,
                         o.lvm_size.value_or(static_cast<std::int64_t>(total_segments * kSegmentSize)));
    put_le<std::int64_t>(b, vh::kLvmBlocks, o.lvm_blocks.value_or(static_cast<std::int64_t>(total_segments)));
    Uuid lvm_uuid = o.lvm_uuid.value_or(spec_.lvm_uuid);
    put_bytes(b, vh::kLvmUuid, lvm_uuid);
    put_le<std::int32_t>(b, vh::kNumSegments, o.num_segments.value_or(static_cast<std::int32_t>(member_segments(m))));
    put_le<std::int32_t>(b, vh::kFirstSegment, o.first_segment.value_or(static_cast<std::int32_t>(m.first_segment)));
    put_le<std::int32_t>(b, vh::kLastSegment, o.last_segment.value_or(static_cast<std::int32_t>(m.last_segment)));
    put_le<std::int32_t>(b, vh::kNumExtents, o.num_extents.value_or(static_cast<std::int32_t>(spec_.members.size())));
    for (const RawPatch& p : o.patches) put_bytes(b, p.offset, p.bytes);
    return h;
}

void Volume::write_header(std::size_t i) {
    images_[i].write(partition_offset(i) + kVolumeHeaderOffset, header_bytes(i));
}

void Volume::write_partition_table(std::size_t i) {
    // One primary partition of the VMFS type from the start sector to the end
    // of the image; readers are told the start sector, this is for realism.
    std::uint64_t start = static_cast<std::uint64_t>(spec_.members[i].start_sector);
    if (start == 0) return; // the partition itself begins at sector 0
    std::vector<std::uint8_t> mbr(kSectorSize, 0);
    std::span<std::uint8_t> b(mbr);
    std::uint64_t sectors = images_[i].size() / kSectorSize - start;
    put_le<std::uint8_t>(b, kMbrTable + 4, 0xFB);
    put_le<std::uint32_t>(b, kMbrTable + 8, static_cast<std::uint32_t>(start));
    put_le<std::uint32_t>(b, kMbrTable + 12, static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, 0xFFFFFFFFu)));
    b[510] = 0x55;
    b[511] = 0xAA;
    images_[i].write(0, mbr);
}

} // namespace dsb
