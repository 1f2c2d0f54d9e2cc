#include "vmfs/dirent.h"

#include "vmfs/blockid.h"
#include "vmfs/store.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"
#include "vmfs/utf8.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace ds {

void dirent_parse(std::span<const uint8_t> buf, DirEntry& e) {
    e.type = load_le<uint32_t>(buf, 0);
    e.descriptor_id = load_le<uint32_t>(buf, 4);
    e.record_id = load_le<uint32_t>(buf, 8);
    load_bytes(buf, 12, e.name);
}

int64_t dir_entry_limit(const Store& store) {
    const BitmapHeader& h = store.fs.fdc.header;
    if (h.area_count <= 0 || h.entries_per_area <= 0 || h.items_per_entry <= 0) return kMaxDirEntries;
    // Each factor is below 2^31 and the product is cut at the ceiling before
    // the last multiplication, so nothing overflows.
    const int64_t per_area = int64_t{h.entries_per_area} * h.items_per_entry;
    if (per_area >= kMaxDirEntries) return kMaxDirEntries;
    const int64_t slots = per_area * std::min<int64_t>(h.area_count, kMaxDirEntries);
    return std::min(slots, kMaxDirEntries - 2) + 2;
}

DirCursor::DirCursor(Store& store, const Descriptor& dir)
    : store_(store), dir_(dir), limit_(dir_entry_limit(store)) {
    rescue_ = store.list_rescue;
}

namespace {

// What a cursor reads around unreadable sectors at a time: a tree walk holds
// one cursor per level, so this times the depth is what it may hold.
constexpr int64_t kHeldBytes = 64 * 1024;

} // namespace

// Whether both ends of the entry at pos lie inside a real block. A directory
// is never sparse, and a slot whose block_size claims more than its block
// holds would only wrap around inside that block, entry after entry.
bool DirCursor::entry_in_blocks(int64_t pos) {
    if (dir_.block_size <= 0) return false;
    for (int64_t p : {pos, std::min(pos + kDirentBytes, dir_.size) - 1}) {
        if (p / dir_.block_size != slot_) {
            if (file_block_lookup(store_, dir_, p, &id_) != 0 || id_ == 0) return false;
            slot_ = p / dir_.block_size;
        }
        if (p % dir_.block_size >= block_capacity(store_, id_)) return false;
    }
    return true;
}

bool DirCursor::next(DirEntry& e) {
    uint8_t raw[kDirentBytes];
    while (!done_) {
        if (!held_.empty() && pos_ >= held_at_ + static_cast<int64_t>(held_.size())) {
            held_ = {};
            held_bad_.clear();
        }
        if (pos_ >= dir_.size) {
            done_ = reached_end_ = true;
            return false;
        }
        // A damaged size (2^62, say) would otherwise mean billions of entries
        // read from holes or from the same block over and over.
        if (++count_ > limit_) break;
        if (rescue_) store_.disk.clear_thread_failure();
        if (!entry_in_blocks(pos_)) {
            if (!rescue_ || store_.disk.thread_failure().fault != Fault::device_read) break;
            // The pointer block naming this block is unreadable: the entries
            // of the block are lost, those of the blocks after it are not.
            store_.disk.clear_thread_failure();
            const int64_t start = pos_ - pos_ % dir_.block_size;
            pass_over(dir_.block_size > INT64_MAX - start ? INT64_MAX : start + dir_.block_size);
            continue;
        }
        const int got = read_entry(raw);
        if (got < 0) break;
        if (got == 0) {
            pass_over(pos_ + kDirentBytes);
            continue;
        }
        dirent_parse(raw, e);
        pos_ += kDirentBytes;
        return true;
    }
    done_ = true;
    return false;
}

bool DirCursor::from_held(uint8_t* raw, bool& lost) {
    if (held_.empty() || pos_ < held_at_ || pos_ - held_at_ > static_cast<int64_t>(held_.size()) - kDirentBytes) return false;
    lost = false;
    for (const ByteSpan& bad : held_bad_)
        if (bad.offset < pos_ + kDirentBytes && pos_ < bad.end()) lost = true;
    if (!lost) std::memcpy(raw, held_.data() + (pos_ - held_at_), kDirentBytes);
    return true;
}

int DirCursor::read_entry(uint8_t* raw) {
    bool lost = false;
    if (from_held(raw, lost)) return lost ? 0 : 1;
    if (file_read(store_, dir_, raw, kDirentBytes, pos_) == kDirentBytes) return 1;
    if (!rescue_ || store_.disk.thread_failure().fault != Fault::device_read) return -1;
    store_.disk.clear_thread_failure();
    // The rest of the block (up to kHeldBytes) read around the sectors that
    // fail: only the entries on those sectors are lost.
    uint32_t id = 0;
    const int64_t in_slot = pos_ % dir_.block_size;
    if (file_block_lookup(store_, dir_, pos_, &id) != 0) return 0;
    // An entry that reaches into the next block is read whole (both ends
    // were found in blocks before).
    const int64_t rest = std::min(dir_.block_size - in_slot, block_capacity(store_, id) - in_slot);
    const int64_t len = std::min({std::max(rest, kDirentBytes), dir_.size - pos_, kHeldBytes});
    if (len < kDirentBytes) return 0;
    held_.assign(static_cast<size_t>(len), 0);
    held_bad_.clear();
    held_at_ = pos_;
    int64_t got = 0;
    while (got < len) {
        const int64_t n = file_read_salvage(store_, dir_, held_.data() + got, len - got, pos_ + got, held_bad_);
        if (n <= 0) break;
        got += n;
    }
    store_.disk.clear_thread_failure();
    if (got < kDirentBytes) {
        held_ = {};
        return 0;
    }
    held_.resize(static_cast<size_t>(got));
    return from_held(raw, lost) && !lost ? 1 : 0;
}

void DirCursor::pass_over(int64_t to) {
    const int64_t end = std::min(std::max(to, pos_ + kDirentBytes), dir_.size);
    const int64_t n = (end - pos_ + kDirentBytes - 1) / kDirentBytes;
    skipped_entries_ += n;
    count_ += n - 1;   // the first was counted as it was tried
    const ByteSpan span{pos_, std::min(n * kDirentBytes, dir_.size - pos_)};
    if (!skipped_.empty() && skipped_.back().end() == span.offset) skipped_.back().length += span.length;
    else if (skipped_.size() < kMaxSkippedSpans) skipped_.push_back(span);
    else ++spans_dropped_;
    pos_ += n * kDirentBytes;
}

bool dir_walk(Store& store, const Descriptor& dir, const std::function<void(const DirEntry&)>& action) {
    DirCursor cursor(store, dir);
    DirEntry e;
    while (cursor.next(e)) action(e);
    return cursor.reached_end();
}

std::string dirent_name(const DirEntry& e) {
    size_t len = 0;
    while (len < sizeof e.name && e.name[len] != 0) ++len;
    size_t begin = 0;
    while (begin < len && e.name[begin] <= 0x20) ++begin;
    while (len > begin && e.name[len - 1] <= 0x20) --len;
    return std::string(reinterpret_cast<const char*>(e.name) + begin, len - begin);
}

std::string display_name(const DirEntry& e) { return utf8_sanitize(dirent_name(e)); }

} // namespace ds
