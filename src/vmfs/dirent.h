#pragma once
// Directory entries: a directory's contents are packed 140-byte entries.

#include "vmfs/inode.h"

#include "disk/byte_ranges.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace ds {

struct Store;

inline constexpr int64_t kDirentBytes = 140;
// No directory holds more entries than there are descriptor ids for them to
// name (15-bit entry, 10-bit item), plus "." and "..".
inline constexpr int64_t kMaxDirEntries = (int64_t{1} << 25) + 2;

struct DirEntry {
    uint32_t type = 0;
    uint32_t descriptor_id = 0;
    uint32_t record_id = 0;
    uint8_t name[128] = {};
};

void dirent_parse(std::span<const uint8_t> buf, DirEntry& entry);

// The most entries a directory of the open file system can hold: every
// entry but "." and ".." names a descriptor of its own, so no more than
// ".fdc.sf" has slots for (as its header counts them), plus those two, and
// never more than kMaxDirEntries. A whole tree holds no more either.
int64_t dir_entry_limit(const Store& store);

// Reads a directory's entries one at a time, in on-disk order, holding
// nothing but its place: a listing of any size costs the same memory.
class DirCursor {
public:
    DirCursor(Store& store, const Descriptor& dir);
    // The next entry; false at the end or when a read ended the walk early.
    bool next(DirEntry& entry);
    // After next() gave false: whether the walk reached the directory's end.
    bool reached_end() const { return reached_end_; }
    // Entries read so far, those no listing shows included: what a walk over
    // many directories has cost.
    int64_t entries_read() const { return count_; }
    // With the store's list_rescue: entries passed over because their bytes
    // (or the pointer block naming their block) could not be read, and
    // those bytes as directory offsets, merged, the first kMaxSkippedSpans.
    int64_t skipped_entries() const { return skipped_entries_; }
    const std::vector<ByteSpan>& skipped() const { return skipped_; }
    int64_t skipped_spans_dropped() const { return spans_dropped_; }

private:
    Store& store_;
    Descriptor dir_;
    int64_t pos_ = 0;
    int64_t count_ = 0;
    int64_t limit_ = 0;
    int64_t slot_ = -1;      // the block slot whose block id is held in id_
    uint32_t id_ = 0;
    bool reached_end_ = false;
    bool done_ = false;
    bool rescue_ = false;
    // With rescue: the rest of a slot read around its unreadable sectors,
    // once a read of an entry in it failed.
    std::vector<uint8_t> held_;
    int64_t held_at_ = 0;
    std::vector<ByteSpan> held_bad_;
    int64_t skipped_entries_ = 0, spans_dropped_ = 0;
    std::vector<ByteSpan> skipped_;
    bool entry_in_blocks(int64_t pos);
    int read_entry(uint8_t* raw);   // 1 read, 0 lost on unreadable sectors, -1 ends the walk
    bool from_held(uint8_t* raw, bool& lost);
    void pass_over(int64_t to);
};

// Hands every entry to action in on-disk order. True when the walk reached
// the end of the directory, false when a read ended it early. A directory is
// never sparse: a block slot without a block ends the walk early, as does an
// entry past dir_entry_limit(), so a damaged size cannot keep a walk going.
bool dir_walk(Store& store, const Descriptor& dir, const std::function<void(const DirEntry&)>& action);

// The name up to its first NUL, trimmed of bytes <= 0x20 at both ends.
std::string dirent_name(const DirEntry& entry);

// The cleaned name as it is shown: UTF-8, with every invalid sequence
// replaced by U+FFFD.
std::string display_name(const DirEntry& entry);

} // namespace ds
