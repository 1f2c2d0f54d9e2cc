#pragma once
// Bitmap system files: a header, then areas of 1024-byte bitmap entries
// followed by the items those entries govern.

#include "vmfs/inode.h"

#include <cstdint>
#include <span>

namespace ds {

struct Store;

inline constexpr int64_t kBitmapEntryBytes = 1024;
inline constexpr int kBitmapBytes = 496;
// Largest item any caller reads into one buffer (sub-blocks are 64 KiB and
// pointer blocks 4 KiB on real volumes); bigger items are refused when a file
// whose items are read is opened.
inline constexpr int32_t kMaxItemSize = 1 << 20;

// What is read through a bitmap file, and so which header values its opening
// must refuse. A file whose items are never read (".fbb.sf": file blocks are
// addressed directly, and its item size is the block size, up to 8 MiB and
// more) opens with any header that can be read.
struct ItemUse {
    bool items_read = true;
    int32_t min_size = 1;
    int32_t max_size = kMaxItemSize;   // callers read items into buffers of this size
};
inline constexpr ItemUse kItemsNeverRead{false, 0, 0};

struct BitmapHeader {
    int32_t items_per_entry = 0;
    int32_t entries_per_area = 0;
    int32_t header_size = 0;
    int32_t item_size = 0;
    int32_t area_size = 0;
    int32_t total_items = 0;
    int32_t area_count = 0;
};

struct Bitmap {
    Descriptor inode;
    BitmapHeader header;
};

struct BitmapEntry {
    Descriptor meta;   // only the metadata header fields are filled
    uint32_t id = 0;
    uint32_t total = 0;
    uint32_t free = 0;
    uint32_t first_free = 0;
    uint8_t bitmap[kBitmapBytes] = {};
};

// Reads the header of src's file into dst.header (src and dst may be one
// record). False when the first 512 bytes cannot be read; for a file whose items
// are read also when the header would make item positions undefined or
// overrun a buffer: non-positive items per entry, entries per area or area
// size, a negative header size, or an item size outside the use's bounds.
bool bitmap_open(Store& store, const Bitmap& src, Bitmap& dst, const ItemUse& use = {});

// File offset of item (entry, item); -1 when the header cannot place it.
int64_t bitmap_item_pos(const Bitmap& bm, uint32_t entry, uint32_t item);

// Reads one item into buf; true when exactly item_size bytes came back (false
// also when buf is smaller than the item).
bool bitmap_read_item(Store& store, const Bitmap& bm, uint32_t entry, uint32_t item, std::span<uint8_t> buf);

void bitmap_entry_parse(std::span<const uint8_t> buf, BitmapEntry& entry);

// True when the item's bit is clear (allocated), false when set (free).
bool bitmap_item_allocated(const BitmapHeader& h, const BitmapEntry& e, uint32_t entry, uint32_t item);

// Puts the one-block descriptor through which ".fdc.sf" is reached before
// the root directory has been read.
void bitmap_set_provisional_fdc(Bitmap& fdc, int64_t blocksize);

} // namespace ds
