#pragma once
// Items of a bitmap system file read many at a time. A scan that looks at
// every free slot of ".fdc.sf" would otherwise fetch each 2 KiB descriptor
// on its own; the window reads a long run of the file once and hands out
// the items in place. The bytes are the ones a single item read returns.

#include "vmfs/bitmap.h"

#include <cstdint>
#include <vector>

namespace ds {

class ItemWindow {
public:
    explicit ItemWindow(const tvmfs_bitmap& bm, int64_t window_bytes = 1 << 20);

    // The item_size bytes of (entry, item), valid until the next call;
    // nullptr when they cannot be read. A run that cannot be read whole is
    // never taken as a failure: the item is then read on its own, so a bad
    // block costs only the items it holds.
    const uint8_t* item(uint32_t entry, uint32_t item);

    // The item as a kDescriptorBytes descriptor (a shorter item padded with
    // zeros, as inode_read_raw does); nullptr when unreadable.
    const uint8_t* descriptor(uint32_t entry, uint32_t item);

    // Item reads that went to the file (runs and single items), for tests.
    int64_t file_reads() const { return file_reads_; }

private:
    const tvmfs_bitmap& bm_;
    int64_t window_bytes_;
    std::vector<uint8_t> buf_;
    int64_t start_ = -1;       // file offset of buf_[0]; -1 when empty
    int64_t filled_ = 0;
    int64_t no_runs_before_ = -1;   // after a failed run: single reads below this offset
    std::vector<uint8_t> single_;
    std::vector<uint8_t> padded_ = std::vector<uint8_t>(kDescriptorBytes);
    int64_t file_reads_ = 0;
};

} // namespace ds
