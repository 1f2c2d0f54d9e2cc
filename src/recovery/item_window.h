#pragma once
// A bitmap system file read a long run at a time. A scan that looks at every
// free slot of ".fdc.sf" would otherwise fetch each 1 KiB bitmap entry and
// each 2 KiB descriptor on its own; the window reads a run of entries and
// items once and hands out its parts in place. The bytes are the ones the
// single reads return.

#include "vmfs/bitmap.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Store;

class ItemWindow {
public:
    // As long as the file blocks of real volumes, so that one read of the
    // device brings in a whole block of entries and items.
    ItemWindow(Store& store, const Bitmap& bm, int64_t window_bytes = 1 << 20);

    // The item_size bytes of (entry, item), valid until the next call;
    // nullptr when they cannot be read. A run that cannot be read whole is
    // never taken as a failure: the part asked for is then read on its own,
    // so a bad block costs only what it holds.
    const uint8_t* item(uint32_t entry, uint32_t item);

    // The item as a kDescriptorBytes descriptor (a shorter item padded with
    // zeros, as inode_read_raw does); nullptr when unreadable.
    const uint8_t* descriptor(uint32_t entry, uint32_t item);

    // len bytes at file position pos; the same rules.
    const uint8_t* bytes(int64_t pos, int64_t len);

    // The same bytes, copied out so that they stay while the window moves on:
    // for an area's bitmap entries, looked at in turn with the items after
    // them. nullptr when unreadable or longer than kMaxKept.
    static constexpr int64_t kMaxKept = 256 * 1024;
    const uint8_t* kept(int64_t pos, int64_t len);

    // Reads that went to the file (runs and single reads), for tests.
    int64_t file_reads() const { return file_reads_; }

private:
    Store& store_;
    const Bitmap& bm_;
    int64_t window_bytes_;
    std::vector<uint8_t> buf_;
    int64_t start_ = -1;            // file offset of buf_[0]; -1 when empty
    int64_t filled_ = 0;
    int64_t no_runs_before_ = -1;   // after a failed run: single reads below this offset
    std::vector<uint8_t> single_;
    std::vector<uint8_t> kept_;
    std::vector<uint8_t> padded_ = std::vector<uint8_t>(kDescriptorBytes);
    int64_t file_reads_ = 0;
};

} // namespace ds
