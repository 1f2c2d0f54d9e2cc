#pragma once
// Member volumes (extents) and the logical volume they form.

#include <cstdint>
#include <string>

namespace ds {

inline constexpr uint32_t kVolumeMagic = 0xC001D00D;
inline constexpr int64_t kVolumeHeaderOffset = 0x100000;
inline constexpr int64_t kVolumeHeaderBytes = 1024;
inline constexpr int64_t kDataAreaOffset = 0x1000000;      // from the volume header
inline constexpr int64_t kSegmentSize = 0x10000000;        // 256 MiB
inline constexpr int kMaxExtents = 32;

struct TvmfsVOLUME {
    std::string device;
    int64_t start_sector = 0;
    int64_t header_offset = 0;
    uint32_t magic = 0;
    uint32_t version = 0;
    uint8_t name[28] = {};
    uint8_t uuid[16] = {};
    uint8_t lun = 0;
    uint64_t size = 0;
    int64_t lvm_size = 0;
    int64_t lvm_blocks = 0;
    uint8_t lvm_uuid[16] = {};
    int32_t num_segments = 0;
    int32_t first_segment = 0;
    int32_t last_segment = 0;
    int32_t num_extents = 0;
};

struct tvmfslvm {
    uint8_t uuid[16] = {};
    int32_t numofextents = 0;
    int64_t size = 0;
    int64_t blocks = 0;
    int32_t loaded_extents = 0;
    // One slot more than the members allow, so that a refused 33rd disk has
    // somewhere to be read into without touching member 32.
    TvmfsVOLUME volumes[kMaxExtents + 1];
};

// The process-wide logical volume, which is also the disk table.
tvmfslvm& lvm_state();

// Empties the logical volume ("remove all disks"). Like every change of the
// disks (a disk that joins, too) it closes the open file system: nothing of
// it may be read through the new disks.
void lvm_clear();

// 0 read and valid; -1 the 1024 bytes could not be read; -2 wrong magic.
int volume_header_read(TvmfsVOLUME& vol);

// Reads len bytes at offset pos of the member's data area.
int64_t volume_read(const TvmfsVOLUME& vol, uint8_t* buffer, int32_t index, int64_t pos, int64_t len);

// Reads len bytes at logical-volume offset pos; -1 when no member holds pos.
int64_t lvm_read(uint8_t* buffer, int32_t index, int64_t pos, int64_t len);

// Where logical-volume offset pos lies on the disks: the member holding it,
// the byte offset on that member's device, and how many bytes from there on
// belong to the same member (and so lie one after another on its device).
struct LvmPlace {
    const TvmfsVOLUME* member = nullptr;
    int64_t device_offset = -1;
    int64_t bytes_in_member = 0;
};
// False when no member holds pos.
bool lvm_locate(int64_t pos, LvmPlace& place);

// Bytes the logical volume can hold as far as its members are loaded: every
// segment from 0 up to the highest one a member carries. No file stores more
// data than this; a descriptor that claims more names some blocks twice.
int64_t lvm_capacity();

enum class AddDiskRefusal { none, not_found, not_first, mismatch, not_continuous, too_many };

// Adds a disk to the logical volume in segment order. 0 joined, -1 refused;
// the reason goes to *why when given.
int AddDisk(const std::string& device, int64_t start_sector, AddDiskRefusal* why = nullptr);

} // namespace ds
