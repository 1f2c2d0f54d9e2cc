#pragma once
// A scan's record of what it could not read, when it is told to pass over
// unreadable sectors instead of ending there.

#include "vmfs/datastore.h"
#include "vmfs/inode.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace ds {

class ScanRescue {
public:
    ScanRescue(bool on, std::vector<SkippedArea>& out) : on_(on), out_(out) {}
    bool on() const { return on_; }
    // Notes an area passed over, merged into the last one when it continues it.
    void skip(SkippedIn in, int64_t offset, int64_t length);

private:
    bool on_;
    std::vector<SkippedArea>& out_;
};

// Reads the len bytes at pos into out by pieces that end on 512-byte
// boundaries of pos's coordinates, each through read (true when the piece
// was read whole); a piece that fails reads as zeros and is appended to lost
// (same coordinates). For a read that already failed whole: a bad sector
// then costs only its own bytes. Returns the bytes read.
using PieceRead = std::function<bool(uint8_t* out, int64_t pos, int64_t len)>;
int64_t read_by_sectors(uint8_t* out, int64_t pos, int64_t len, const PieceRead& read, std::vector<ByteSpan>& lost);

struct Store;
struct Bitmap;

// Item (entry, item) of bm read by sectors, as a kDescriptorBytes descriptor
// (a shorter item padded with zeros); its unreadable parts, as positions in
// bm's file, go to lost. False when no byte of it could be read (or the
// header cannot place it): then lost is left as it was.
bool salvage_descriptor(Store& store, const Bitmap& bm, uint32_t entry, uint32_t item,
                        uint8_t (&out)[kDescriptorBytes], std::vector<ByteSpan>& lost);

class ItemWindow;

enum class SlotRead { read, skipped, failed };

// The descriptor of free slot f of ".fdc.sf" for a scan: as the window read
// it, or, when that failed and rescue is on, salvaged sector by sector with
// its lost parts noted (partial says so). skipped: nothing of it could be
// read and it was noted; failed: rescue is off and the scan must end.
SlotRead read_free_slot(Store& store, ItemWindow& slots, ScanRescue& rescue, uint32_t f,
                        uint8_t (&salvaged)[kDescriptorBytes], const uint8_t*& raw, bool& partial);

} // namespace ds
