#pragma once
// Member volumes (extents) and the logical volume they form.

#include "vmfs/datastore.h"
#include <cstdint>
#include <string>

namespace ds {

struct Store;

inline constexpr uint32_t kVolumeMagic = 0xC001D00D;
inline constexpr int64_t kVolumeHeaderOffset = 0x100000;
inline constexpr int64_t kVolumeHeaderBytes = 1024;
inline constexpr int64_t kDataAreaOffset = 0x1000000;      // from the volume header

// Empties the logical volume ("remove all disks"). Like every change of the
// disks (a disk that joins, too) it closes the open file system: nothing of
// it may be read through the new disks.
void lvm_clear(Store& store);

enum class HeaderRead {
    ok,           // read, and the magic is right
    unreadable,   // the 1024 bytes could not be read
    bad_magic,    // bytes there, but not a volume header
};
HeaderRead volume_header_read(Store& store, VolumeMember& vol);

// Reads len bytes at offset pos of the member's data area.
int64_t volume_read(Store& store, const VolumeMember& vol, uint8_t* buffer, int32_t index, int64_t pos, int64_t len);

// Reads len bytes at logical-volume offset pos; -1 when no member holds pos.
int64_t lvm_read(Store& store, uint8_t* buffer, int32_t index, int64_t pos, int64_t len);
// The same for a look at a few sectors (DiskReader::read_probe): no chunk
// is read or cached for it.
int64_t lvm_probe(Store& store, uint8_t* buffer, int64_t pos, int64_t len);

// Where logical-volume offset pos lies on the disks: the member holding it,
// the byte offset on that member's device, and how many bytes from there on
// belong to the same member (and so lie one after another on its device).
struct LvmPlace {
    const VolumeMember* member = nullptr;
    int64_t device_offset = -1;
    int64_t bytes_in_member = 0;
};
// False when no member holds pos.
bool lvm_locate(Store& store, int64_t pos, LvmPlace& place);

// Bytes the logical volume can hold as far as its members are loaded: every
// segment from 0 up to the highest one a member carries. No file stores more
// data than this; a descriptor that claims more names some blocks twice.
int64_t lvm_capacity(Store& store);

// Adds a disk to the logical volume in segment order. 0 joined, -1 refused;
// the reason goes to *why when given.
int add_disk(Store& store, const std::string& device, int64_t start_sector, AddDiskRefusal* why = nullptr,
             StartFrom from = StartFrom::given);

// The segments past the loaded members that the volume's size still counts.
MissingSegments lvm_missing_segments(const Store& store);

// Where the volume on device starts: the VMFS partition of its MBR or GPT,
// else the first of kUsualStarts with a volume header.
StartSearch find_start(Store& store, const std::string& device);

} // namespace ds
