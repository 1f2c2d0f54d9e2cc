#include "vmfs/file_read.h"

#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/store.h"
#include "vmfs/le.h"
#include "vmfs/volume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace ds {
namespace {

// Sub-blocks and pointer blocks are items of system files that are read with
// the file reader themselves; damaged descriptors of those files could make
// the reads chase each other forever. Real volumes need two levels. The depth
// travels with the read, so readers on other threads never see it.
constexpr int kMaxNesting = 4;

// What file_read_run reads at a time where it cannot make runs.
constexpr int64_t kFallbackPiece = 1048576;

// probe: file blocks are read through lvm_probe, not into the chunk cache.
int64_t read_at_depth(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p, int depth,
                      bool probe = false);

// len bytes at off of item (entry, item) of bm, known as id, from the memo or
// read one level deeper; false when the item cannot be read or the range
// leaves it. A sub-block is kept whole in its memo, so it is read on its
// own rather than with the chunk around it: a walk reads one directory
// sub-block after another, each far from the descriptors its entries name,
// and through the cache every one would cost a mebibyte and evict the
// chunk of descriptors the walk comes back to.
bool item_bytes(Store& store, ItemMemo& memo, const Bitmap& bm, uint32_t id, uint32_t entry, uint32_t item,
                int64_t off, int64_t len, uint8_t* out, int depth) {
    const int32_t size = bm.header.item_size;
    if (off < 0 || len < 0 || size <= 0 || off > size - len) return false;
    if (memo.copy_out(id, static_cast<size_t>(size), off, len, out)) return true;
    const int64_t pos = bitmap_item_pos(bm, entry, item);
    if (pos < 0) return false;
    std::vector<uint8_t> fresh = memo.take_spare(static_cast<size_t>(size));
    const bool probe = &memo == &store.memos.sub_block;
    if (read_at_depth(store, bm.inode, fresh.data(), size, pos, depth + 1, probe) != size) return false;
    std::memcpy(out, fresh.data() + off, static_cast<size_t>(len));
    memo.keep(id, fresh);
    return true;
}

int lookup_at_depth(Store& store, const Descriptor& inode, int64_t p, uint32_t* id, int depth);

// After a read of a whole pointer block failed on a bad sector: the one id
// asked for, read alone, so that a sector holding other ids does not cost the
// blocks this one names. False when its own sector cannot be read either.
bool pointer_id_alone(Store& store, uint32_t pointer_block, int64_t off, uint8_t* raw, int depth) {
    if (store.disk.thread_failure().fault != Fault::device_read || depth + 1 > kMaxNesting) return false;
    const Bitmap& pbc = store.fs.pbc;
    const int64_t item = bitmap_item_pos(pbc, pb_entry(pointer_block), pb_item(pointer_block));
    const int64_t bs = store.fs.fsinfo.blocksize;
    const int64_t sys_block = pbc.inode.block_size;
    if (item < 0 || bs <= 0 || sys_block <= 0 || sys_block > bs) return false;
    const int64_t pos = item + off;
    uint32_t holder = 0;
    if (lookup_at_depth(store, pbc.inode, pos, &holder, depth + 1) != 0 || blkid_type(holder) != kBlockFile) return false;
    if (sys_block - pos % sys_block < 4) return false;   // an id is never split between blocks
    LvmPlace place;
    if (!lvm_locate(store, int64_t{fb_item(holder)} * bs + pos % sys_block, place) || place.bytes_in_member < 4)
        return false;
    const Failure was = store.disk.thread_failure();
    std::vector<ByteSpan> bad;
    if (store.disk.read_salvage(place.member->device, raw, place.device_offset, 4, bad) != 4 || !bad.empty()) {
        store.disk.restore_thread_failure(was);
        return false;
    }
    store.disk.clear_thread_failure();
    return true;
}

int lookup_at_depth(Store& store, const Descriptor& inode, int64_t p, uint32_t* id, int depth) {
    *id = 0;
    if (inode.block_size <= 0 || p < 0) return -1;
    int64_t i = p / inode.block_size;
    if (inode.addr_mode == 1 || inode.addr_mode == 2) {
        if (i >= kBlockSlots) return -1;
        *id = inode.blocks[i];
        return 0;
    }
    if (inode.addr_mode != 3) return -1;
    const Bitmap& pbc = store.fs.pbc;
    int64_t per = pbc.header.item_size / 4;
    if (per <= 0) return -1;
    int64_t slot = i / per;
    int64_t r = i % per;
    if (slot >= kBlockSlots) return -1;
    uint32_t pointer_block = inode.blocks[slot];
    if (pointer_block == 0) return 0;
    uint8_t raw[4];
    if (!item_bytes(store, store.memos.pointer_block, pbc, pointer_block, pb_entry(pointer_block),
                    pb_item(pointer_block), 4 * r, 4, raw, depth) &&
        !pointer_id_alone(store, pointer_block, 4 * r, raw, depth))
        return -1;
    *id = load_le<uint32_t>(std::span<const uint8_t>(raw), 0);
    return 0;
}

int64_t subblock_at_depth(Store& store, uint32_t id, uint8_t* buffer, int64_t index, int64_t count, int64_t p,
                          int depth) {
    const Bitmap& sbc = store.fs.sbc;
    int64_t sz = sbc.header.item_size;
    if (sz <= 0 || p < 0 || count < 0) return -1;
    int64_t off = p % sz;
    int64_t n = std::min(sz - off, count);
    if (!item_bytes(store, store.memos.sub_block, sbc, id, sb_entry(id), sb_item(id), off, n, buffer + index, depth))
        return -1;
    return n;
}

int64_t read_at_depth(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p, int depth,
                      bool probe) {
    // The record is only read, never changed, so no copy of it is taken: the
    // scans call this once per descriptor slot.
    if (depth > kMaxNesting || p < 0 || count < 0) return -1;
    int64_t total = 0;
    while (count > 0 && p < inode.size) {
        uint32_t id = 0;
        if (lookup_at_depth(store, inode, p, &id, depth) < 0) return -1;
        int64_t want = std::min(inode.size - p, count);
        int64_t got = -1;
        if (id == 0) {
            // A hole of a thin file: zeros up to the end of its block.
            got = std::min(want, inode.block_size - p % inode.block_size);
            std::memset(buffer + total, 0, static_cast<size_t>(got));
        } else if (blkid_type(id) == kBlockFile) {
            // A slot that claims more bytes than its block holds would wrap
            // around inside that block: a damaged size could then repeat the
            // same bytes for terabytes.
            if (p % inode.block_size >= store.fs.fsinfo.blocksize) return -1;
            got = probe ? file_block_probe(store, id, buffer + total, want, p)
                        : file_block_read(store, id, buffer, total, want, p);
        } else if (blkid_type(id) == kBlockSub) {
            if (p % inode.block_size >= store.fs.sbc.header.item_size) return -1;
            got = subblock_at_depth(store, id, buffer, total, want, p, depth);
        }
        if (got <= 0) return -1;
        p += got;
        total += got;
        count -= got;
    }
    return total;
}

} // namespace

bool ItemMemo::copy_out(uint32_t id, size_t size, int64_t off, int64_t len, uint8_t* out) {
    std::lock_guard lock(mutex_);
    for (Slot& slot : slots_)
        if (slot.valid && slot.id == id && slot.bytes.size() == size) {
            slot.used = ++clock_;
            std::memcpy(out, slot.bytes.data() + off, static_cast<size_t>(len));
            return true;
        }
    return false;
}

void ItemMemo::keep(uint32_t id, std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    // Another reader may have brought in the same item meanwhile.
    Slot* place = nullptr;
    size_t held = 0;
    for (Slot& slot : slots_)
        if (slot.valid) {
            held += slot.bytes.size();
            if (slot.id == id) place = &slot;
        }
    if (!place) {
        const bool room = held + bytes.size() <= kBudget;
        for (Slot& slot : slots_) {
            if (room && !slot.valid) {
                place = &slot;
                break;
            }
            if (slot.valid && (!place || slot.used < place->used)) place = &slot;
        }
    }
    // Over the budget every other item is let go, so that one large item
    // is all that is held; the item replaced does not count.
    if (place && place->valid) held -= place->bytes.size();
    if (held + bytes.size() > kBudget)
        for (Slot& slot : slots_)
            if (&slot != place) slot.valid = false;
    if (!place) place = &slots_[0];
    place->bytes.swap(bytes);
    place->valid = true;
    place->id = id;
    place->used = ++clock_;
    if (bytes.capacity() > spare_.capacity()) spare_.swap(bytes);
}

std::vector<uint8_t> ItemMemo::take_spare(size_t size) {
    std::vector<uint8_t> out;
    {
        std::lock_guard lock(mutex_);
        out.swap(spare_);
    }
    out.resize(size);
    return out;
}

void ItemMemo::reset() {
    std::lock_guard lock(mutex_);
    for (Slot& slot : slots_) slot.valid = false;
}

int file_block_lookup(Store& store, const Descriptor& inode, int64_t p, uint32_t* id) {
    return lookup_at_depth(store, inode, p, id, 1);
}

int64_t file_block_read(Store& store, uint32_t id, uint8_t* buffer, int64_t index, int64_t count, int64_t p) {
    int64_t bs = store.fs.fsinfo.blocksize;
    if (bs <= 0 || p < 0 || count < 0) return -1;
    int64_t off = p % bs;
    int64_t n = std::min(bs - off, count);
    int64_t at = int64_t{fb_item(id)} * bs + off;
    return lvm_read(store, buffer + index, 0, at, n) == n ? n : -1;
}

int64_t file_block_probe(Store& store, uint32_t id, uint8_t* buffer, int64_t count, int64_t p) {
    const int64_t bs = store.fs.fsinfo.blocksize;
    if (bs <= 0 || p < 0 || count < 0) return -1;
    const int64_t off = p % bs;
    const int64_t n = std::min(bs - off, count);
    return lvm_probe(store, buffer, int64_t{fb_item(id)} * bs + off, n) == n ? n : -1;
}

int64_t file_extent(Store& store, const Descriptor& inode) {
    const FileSystem& fs = store.fs;
    const int64_t real_unit = std::max<int64_t>(fs.fsinfo.blocksize, fs.sbc.header.item_size);
    const int64_t unit = std::min(inode.block_size, real_unit);
    if (inode.size <= 0 || unit <= 0) return 0;
    int64_t slots = kBlockSlots;
    if (inode.addr_mode == 3) {
        const int64_t per = fs.pbc.header.item_size / 4;
        if (per <= 0) return 0;
        slots *= per;
    } else if (inode.addr_mode != 1 && inode.addr_mode != 2) {
        return 0;
    }
    int64_t addressable = 0;
    if (__builtin_mul_overflow(slots, unit, &addressable)) addressable = std::numeric_limits<int64_t>::max();
    return std::min(inode.size, addressable);
}

int64_t file_slot_count(const Store& store, const Descriptor& inode) {
    if (inode.addr_mode == 1 || inode.addr_mode == 2) return kBlockSlots;
    if (inode.addr_mode != 3) return 0;
    const int64_t per = store.fs.pbc.header.item_size / 4;
    return per > 0 ? per * kBlockSlots : 0;   // item sizes are 32-bit: no overflow
}

int64_t file_find_slot(Store& store, const Descriptor& inode, int64_t p, bool hole) {
    const int64_t bs = inode.block_size;
    if (bs <= 0 || p < 0) return -1;
    auto times = [](int64_t a, int64_t b) {
        int64_t r = 0;
        return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<int64_t>::max() : r;
    };
    const int64_t end = std::min(inode.size, times(file_slot_count(store, inode), bs));
    if (p >= end) return -1;
    // Block i's first byte at or after p; the end once it lies past it.
    auto at = [&](int64_t i) { return std::max(p, times(i, bs)); };
    if (inode.addr_mode != 3) {
        for (int64_t i = p / bs; i < kBlockSlots && at(i) < end; ++i)
            if ((inode.blocks[i] == 0) == hole) return at(i);
        return -1;
    }
    const Bitmap& pbc = store.fs.pbc;
    const int32_t item = pbc.header.item_size;
    const int64_t per = item / 4;
    std::vector<uint8_t> ids;
    for (int64_t s = p / bs / per; s < kBlockSlots && at(s * per) < end; ++s) {
        const uint32_t pointer_block = inode.blocks[s];
        if (pointer_block == 0) {
            if (hole) return at(s * per);
            continue;
        }
        ids.resize(static_cast<size_t>(item));
        if (!item_bytes(store, store.memos.pointer_block, pbc, pointer_block, pb_entry(pointer_block),
                        pb_item(pointer_block), 0, item, ids.data(), 1)) {
            if (!hole) return at(s * per);
            continue;
        }
        for (int64_t r = std::max<int64_t>(p / bs - s * per, 0); r < per && at(s * per + r) < end; ++r)
            if ((load_le<uint32_t>(std::span<const uint8_t>(ids), static_cast<size_t>(4 * r)) == 0) == hole)
                return at(s * per + r);
    }
    return -1;
}

int64_t file_read(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p) {
    return read_at_depth(store, inode, buffer, count, p, 1);
}

int64_t file_read_probe(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p) {
    return read_at_depth(store, inode, buffer, count, p, 1, true);
}

namespace {

// Reads len bytes at logical-volume offset at (on one member) around its
// unreadable sectors; their ranges go to unreadable as file offsets from p.
bool salvage_run(Store& store, uint8_t* buffer, int64_t at, int64_t len, int64_t p,
                 std::vector<ByteSpan>& unreadable) {
    LvmPlace place;
    if (!lvm_locate(store, at, place) || place.bytes_in_member < len) return false;
    std::vector<ByteSpan> bad;
    if (store.disk.read_salvage(place.member->device, buffer, place.device_offset, len, bad) != len) return false;
    for (const ByteSpan& r : bad) append_range(unreadable, {r.offset + p, r.length});
    return true;
}

} // namespace

int64_t subblock_lv_offset(Store& store, uint32_t id) {
    const Bitmap& sbc = store.fs.sbc;
    const int64_t pos = bitmap_item_pos(sbc, sb_entry(id), sb_item(id));
    if (pos < 0 || sbc.inode.block_size <= 0) return -1;
    const int64_t in_block = pos % sbc.inode.block_size;
    if (in_block > store.fs.fsinfo.blocksize - sbc.header.item_size) return -1;
    uint32_t holder = 0;
    if (file_block_lookup(store, sbc.inode, pos, &holder) != 0 || blkid_type(holder) != kBlockFile) return -1;
    return int64_t{fb_item(holder)} * store.fs.fsinfo.blocksize + in_block;
}

int64_t file_read_salvage(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p,
                          std::vector<ByteSpan>& unreadable) {
    if (p < 0 || count < 0 || inode.block_size <= 0) return -1;
    if (p >= inode.size || count == 0) return 0;
    uint32_t id = 0;
    if (file_block_lookup(store, inode, p, &id) != 0) return -1;
    int64_t len = std::min({count, inode.size - p, inode.block_size - p % inode.block_size});
    if (id == 0) {
        std::memset(buffer, 0, static_cast<size_t>(len));
        return len;
    }
    // The same bytes read_at_depth takes from the block, and no others.
    int64_t at = -1;
    if (blkid_type(id) == kBlockFile) {
        const int64_t bs = store.fs.fsinfo.blocksize;
        if (bs <= 0 || p % inode.block_size >= bs) return -1;
        len = std::min(len, bs - p % bs);
        at = int64_t{fb_item(id)} * bs + p % bs;
    } else if (blkid_type(id) == kBlockSub) {
        const int64_t sz = store.fs.sbc.header.item_size;
        if (sz <= 0 || p % inode.block_size >= sz) return -1;
        len = std::min(len, sz - p % sz);
        // A sub-block may straddle two blocks of ".sbc.sf": read up to the
        // end of the one this byte lies in, the caller goes on in the next.
        const Bitmap& sbc = store.fs.sbc;
        const int64_t item = bitmap_item_pos(sbc, sb_entry(id), sb_item(id));
        const int64_t sbc_block = sbc.inode.block_size;
        if (item < 0 || sbc_block <= 0 || sbc_block > store.fs.fsinfo.blocksize) return -1;
        const int64_t pos = item + p % sz;
        uint32_t holder = 0;
        if (file_block_lookup(store, sbc.inode, pos, &holder) != 0 || blkid_type(holder) != kBlockFile) return -1;
        len = std::min(len, sbc_block - pos % sbc_block);
        at = int64_t{fb_item(holder)} * store.fs.fsinfo.blocksize + pos % sbc_block;
    } else {
        return -1;
    }
    return salvage_run(store, buffer, at, len, p, unreadable) ? len : -1;
}

int64_t file_read_run(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t max, int64_t p, bool* hole,
                      std::vector<ByteSpan>* unreadable) {
    *hole = false;
    if (p < 0 || max < 0) return -1;
    if (p >= inode.size) return 0;
    max = std::min(max, inode.size - p);
    const int64_t bs = store.fs.fsinfo.blocksize;
    // Runs where each slot is one whole file block; anything else (sub-blocks,
    // a damaged block_size) is read through file_read, 1 MiB at a time so
    // that a failure keeps the mebibytes before it.
    // Sub-blocks (a small file's, a directory's) are read through the item
    // memo as usual; only a read that fails on a sector is read again
    // around it, one slot at a time.
    auto fallback = [&](int64_t want) -> int64_t {
        if (unreadable) store.disk.clear_thread_failure();
        const int64_t n = file_read(store, inode, buffer, want, p);
        if (n >= 0 || !unreadable || store.disk.thread_failure().fault != Fault::device_read) return n;
        store.disk.clear_thread_failure();
        return file_read_salvage(store, inode, buffer, want, p, *unreadable);
    };
    if (bs <= 0 || inode.block_size != bs || (inode.addr_mode != 1 && inode.addr_mode != 3))
        return fallback(std::min<int64_t>(max, kFallbackPiece));
    uint32_t id = 0;
    int64_t len = std::min(bs - p % bs, max);
    if (file_block_lookup(store, inode, p, &id) < 0) {
        // The sector of a pointer block holding this block's id is bad: the
        // block is lost (never guessed), the rest of the file is not.
        if (!unreadable || store.disk.thread_failure().fault != Fault::device_read) return -1;
        store.disk.clear_thread_failure();
        std::memset(buffer, 0, static_cast<size_t>(len));
        append_range(*unreadable, {p, len});
        return len;
    }
    if (id == 0) {
        while (len < max && file_block_lookup(store, inode, p + len, &id) == 0 && id == 0) len += std::min(bs, max - len);
        *hole = true;
        return len;
    }
    if (blkid_type(id) != kBlockFile) return fallback(std::min<int64_t>(len, kFallbackPiece));
    const int64_t first = len;
    const int64_t at = int64_t{fb_item(id)} * bs + p % bs;
    for (uint32_t next_item = fb_item(id) + 1; len < max; ++next_item) {
        uint32_t next = 0;
        if (file_block_lookup(store, inode, p + len, &next) < 0 || blkid_type(next) != kBlockFile || fb_item(next) != next_item)
            break;
        len += std::min(bs, max - len);
    }
    // One read stays on one member: past its end the volume goes on on
    // another disk.
    LvmPlace place;
    if (lvm_locate(store, at, place)) len = std::max(first, std::min(len, place.bytes_in_member));
    if (unreadable) return salvage_run(store, buffer, at, len, p, *unreadable) ? len : -1;
    if (lvm_read(store, buffer, 0, at, len) == len) return len;
    if (len > first && lvm_read(store, buffer, 0, at, first) == first) return first;
    return -1;
}

bool file_range_place(Store& store, const Descriptor& inode, int64_t p, int64_t len, DevicePlace& out) {
    const int64_t bs = store.fs.fsinfo.blocksize;
    if (len <= 0 || p < 0 || p > inode.size - len) return false;
    // The same runs file_read_run reads in one go, and only those.
    if (bs <= 0 || inode.block_size != bs || (inode.addr_mode != 1 && inode.addr_mode != 3)) return false;
    uint32_t id = 0;
    if (file_block_lookup(store, inode, p, &id) < 0 || id == 0 || blkid_type(id) != kBlockFile) return false;
    const int64_t first = p / bs;
    for (int64_t b = first + 1; b <= (p + len - 1) / bs; ++b) {
        uint32_t next = 0;
        if (file_block_lookup(store, inode, b * bs, &next) < 0 || blkid_type(next) != kBlockFile ||
            int64_t{fb_item(next)} != int64_t{fb_item(id)} + (b - first))
            return false;
    }
    LvmPlace place;
    const int64_t at = int64_t{fb_item(id)} * bs + p % bs;
    if (!lvm_locate(store, at, place) || place.bytes_in_member < len) return false;
    // A range past the device's end would come back short, and a short
    // answer reads as the end of the file.
    const int64_t device_bytes = store.disk.device_size(place.member->device);
    if (device_bytes < 0 || place.device_offset > device_bytes - len) return false;
    out.device = place.member->device;
    out.offset = place.device_offset;
    return true;
}

int64_t block_capacity(const Store& store, uint32_t id) {
    if (blkid_type(id) == kBlockFile) return store.fs.fsinfo.blocksize;
    if (blkid_type(id) == kBlockSub) return store.fs.sbc.header.item_size;
    return 0;
}

} // namespace ds
