#include "recovery/formatted_dirs.h"
#include "vmfs/store.h"

#include "recovery/item_window.h"
#include "recovery/scan_rescue.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace ds {

namespace {

// The scan reads in three steps: the free slots of ".fdc.sf" (a window over
// it, once), the first two entries of every candidate directory, and the
// free sub-blocks of ".sbc.sf" that may hold the entries of those whose own
// first block was reused. Done one candidate at a time, the entry reads jump
// around ".sbc.sf" and evict each other's chunks, and each reused block sends
// the scan back to its copy: a reformatted datastore was read four times
// over. So the candidates of a batch are gathered first, their entries read
// in the order of their positions, in step with the walk over the free
// sub-blocks, and a copy's entries are read when the walk meets it. Rows are
// then given out in the order of the slots, exactly as one at a time would.

// Candidates held at once: about 80 bytes each. A larger number (only a
// forged ".fdc.sf" has it) is handled in batches, each with its own walk.
constexpr size_t kBatch = size_t{1} << 17;
// Descriptors whose first 280 bytes span more slots than a candidate keeps
// (a block size under 70 bytes: forged) are kept whole, this many a batch.
constexpr size_t kWholeMax = 1024;
constexpr int kKeptSlots = 4;
constexpr int64_t kEntriesRead = 2 * kDirentBytes;

struct Candidate {
    uint32_t f = 0;
    // What reads of the first two entries look at in the descriptor.
    int64_t size = 0;
    int64_t block_size = 0;
    uint32_t addr_mode = 0;
    uint32_t blocks[kKeptSlots] = {};
    int32_t whole = -1;   // index of the kept whole descriptor, or -1
    bool partial = false; // the descriptor was read only in part

    bool in_sbc = false;   // first block is a sub-block: read in step with the walk
    int64_t key = 0;       // position of the first block, for the order of reads

    enum class First : uint8_t { pending, unreadable, own, moved } first = First::pending;
    bool dotdot_ok = false;   // own: ".." read in full from the own first block
    uint32_t dotdot = 0;
    bool copy_done = false;   // the first copy in walk order was met (and read)
    uint32_t copy_sb = 0;
    bool copy_ok = false;
    uint32_t copy_dotdot = 0;
};

bool descriptor_id(uint32_t id) { return fd_build(fd_entry(id), fd_item(id)) == id; }
size_t seen_bit(uint32_t id) { return (size_t{fd_item(id)} << 15) | fd_entry(id); }

class Batch {
public:
    Batch(Store& store, size_t max_ids, ScanRescue& rescue) : store_(store), max_ids_(max_ids), rescue_(rescue) {}

    bool full() const { return list_.size() >= kBatch || wholes_.size() >= kWholeMax; }
    bool empty() const { return list_.empty(); }

    void add(uint32_t f, const Descriptor& d, bool partial) {
        Candidate c;
        c.f = f;
        c.partial = partial;
        c.size = d.size;
        c.block_size = d.block_size;
        c.addr_mode = d.addr_mode;
        std::copy_n(d.blocks, kKeptSlots, c.blocks);
        if (d.block_size > 0 && (kEntriesRead - 1) / d.block_size >= kKeptSlots) {
            c.whole = static_cast<int32_t>(wholes_.size());
            wholes_.push_back(std::make_unique<Descriptor>(d));
        }
        uint32_t id0 = (d.block_size > 0 && (d.addr_mode == 1 || d.addr_mode == 2)) ? d.blocks[0] : 0;
        if (blkid_type(id0) == kBlockSub) {
            const int64_t pos = bitmap_item_pos(store_.fs.sbc, sb_entry(id0), sb_item(id0));
            c.in_sbc = pos >= 0;
            c.key = pos;
        } else if (blkid_type(id0) == kBlockFile) {
            c.key = fb_item(id0);
        }
        list_.push_back(c);
    }

    // Reads what the candidates need, then gives out their rows in slot
    // order, numbered from n on. False when a bound stopped the scan.
    bool resolve(int32_t& n, int32_t max_rows, const std::function<void(const FoundDir&)>& emit) {
        read_all();
        bool go_on = true;
        for (const Candidate& c : list_) {
            bool ok = false;
            uint32_t dotdot = 0;
            int32_t first_block = -1;
            if (c.first == Candidate::First::own) {
                ok = c.dotdot_ok;
                dotdot = c.dotdot;
            } else if (c.first == Candidate::First::moved) {
                if (!c.copy_done) {
                    // With the index of copies cut short nothing says whether
                    // this one has a copy: stop rather than pass it over.
                    if (ids_full_) {
                        go_on = false;
                        break;
                    }
                    continue;
                }
                first_block = static_cast<int32_t>(c.copy_sb);
                ok = c.copy_ok;
                dotdot = c.copy_dotdot;
            }
            // Only the block ids of "." and ".." are looked at, not their
            // names; deeper directories are reached through their parents.
            if (!ok || dotdot != kRootDirId) continue;
            if (n > max_rows) {
                go_on = false;
                break;
            }
            emit(FoundDir{n, c.f, first_block, c.partial});
            ++n;
        }
        list_.clear();
        wholes_.clear();
        return go_on;
    }

private:
    Descriptor descriptor_of(const Candidate& c) const {
        if (c.whole >= 0) return *wholes_[static_cast<size_t>(c.whole)];
        Descriptor d;
        d.id = c.f;
        d.type = kTypeDir;
        d.size = c.size;
        d.block_size = c.block_size;
        d.addr_mode = c.addr_mode;
        std::copy_n(c.blocks, kKeptSlots, d.blocks);
        return d;
    }

    // "." and, when it names the directory, ".." from its own first block.
    // A candidate whose first entries cannot be read is one damaged
    // directory, not a reason to give up on the others.
    void read_first_entries(Candidate& c) {
        const Descriptor dir = descriptor_of(c);
        uint8_t raw[kDirentBytes];
        if (file_read(store_, dir, raw, kDirentBytes, 0) != kDirentBytes) {
            c.first = Candidate::First::unreadable;
            return;
        }
        DirEntry dot;
        dirent_parse(raw, dot);
        if (dot.descriptor_id != c.f) {
            c.first = Candidate::First::moved;
            return;
        }
        c.first = Candidate::First::own;
        c.dotdot_ok = file_read(store_, dir, raw, kDirentBytes, kDirentBytes) == kDirentBytes;
        if (c.dotdot_ok) {
            DirEntry dotdot;
            dirent_parse(raw, dotdot);
            c.dotdot = dotdot.descriptor_id;
        }
    }

    // ".." through the copy sb in place of the first block (in memory only).
    void read_copy(Candidate& c, uint32_t sb) {
        Descriptor dir = descriptor_of(c);
        substitute_first_block(dir, sb);
        uint8_t raw[kDirentBytes];
        c.copy_done = true;
        c.copy_sb = sb;
        c.copy_ok = file_read(store_, dir, raw, kDirentBytes, kDirentBytes) == kDirentBytes;
        if (c.copy_ok) {
            DirEntry dotdot;
            dirent_parse(raw, dotdot);
            c.copy_dotdot = dotdot.descriptor_id;
        }
    }

    void read_all() {
        std::vector<uint32_t> order(list_.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            const Candidate &x = list_[a], &y = list_[b];
            return x.in_sbc != y.in_sbc ? !x.in_sbc : x.key < y.key;
        });
        size_t next = 0;
        bool need_copies = false;
        auto read_next = [&] {
            Candidate& c = list_[order[next++]];
            read_first_entries(c);
            need_copies = need_copies || c.first == Candidate::First::moved;
        };
        // No walk over the sub-blocks unless a directory needs a copy.
        while (next < order.size() && !need_copies) read_next();
        ids_full_ = false;
        if (need_copies) {
            by_id_.clear();
            for (size_t i = 0; i < list_.size(); ++i) by_id_.emplace_back(list_[i].f, static_cast<uint32_t>(i));
            std::sort(by_id_.begin(), by_id_.end());
            walk_copies([&](int64_t pos) {
                while (next < order.size() && (!list_[order[next]].in_sbc || list_[order[next]].key <= pos)) read_next();
            });
            by_id_.clear();
        }
        while (next < order.size()) read_next();
    }

    // The first free sub-block (walk order) that begins with a "." entry of
    // type 2 naming a directory, for every directory at once: the first
    // readable one wins. Before each sub-block, the first entries of the
    // candidates that lie up to there are read, so that the reads of both
    // go through ".sbc.sf" once, in order. A copy's ".." is read when the
    // walk meets it, for each candidate of that id that may need it.
    //
    // Only ids that a descriptor can have are counted, each once (a bit per
    // descriptor id marks those seen, 4 MiB), and at most max_ids of them: a
    // forged ".sbc.sf" could otherwise name tens of millions. Past that bound
    // nothing says that a directory has no such sub-block.
    template <typename Before>
    void walk_copies(const Before& before) {
        const Bitmap& sbc = store_.fs.sbc;
        std::vector<uint8_t> item(static_cast<size_t>(std::max(sbc.header.item_size, 0)));
        std::vector<bool> seen(size_t{1} << 25);
        size_t ids = 0;
        auto visit = [&](uint32_t entry, uint32_t index) {
            uint8_t head[8];
            const int64_t pos = bitmap_item_pos(sbc, entry, index);
            if (pos < 0) return Visit::next;
            before(pos);
            if (file_read(store_, sbc.inode, head, sizeof head, pos) != sizeof head) return Visit::next;
            if (load_le<uint32_t>(head, 0) != kTypeDir) return Visit::next;
            const uint32_t dir_id = load_le<uint32_t>(head, 4);
            // Only a sub-block that can be read whole counts.
            if (!descriptor_id(dir_id) || seen[seen_bit(dir_id)] ||
                !bitmap_read_item(store_, sbc, entry, index, item))
                return Visit::next;
            if (ids == max_ids_) {
                ids_full_ = true;
                return Visit::stop_walk;
            }
            seen[seen_bit(dir_id)] = true;
            ++ids;
            const uint32_t sb = sb_build(entry, index);
            auto it = std::lower_bound(by_id_.begin(), by_id_.end(), std::pair<uint32_t, uint32_t>{dir_id, 0});
            for (; it != by_id_.end() && it->first == dir_id; ++it) {
                Candidate& c = list_[it->second];
                // Read ahead for one whose first block is not read yet: the
                // copy is at hand now, and may be needed.
                if (c.first == Candidate::First::pending || c.first == Candidate::First::moved) read_copy(c, sb);
            }
            return Visit::next;
        };
        scan_free_items(store_, sbc, visit, nullptr, EntryFailure::skip_entry, nullptr, &rescue_, SkippedIn::sbc);
    }

    Store& store_;
    size_t max_ids_;
    ScanRescue& rescue_;
    std::vector<Candidate> list_;                        // in slot order
    std::vector<std::unique_ptr<Descriptor>> wholes_;
    std::vector<std::pair<uint32_t, uint32_t>> by_id_;   // (directory id, index in list_) during the walk
    bool ids_full_ = false;
};

} // namespace

ScanResult<FoundDir> scan_formatted_dirs(Store& store, const ScanProgress& progress,
                                          const std::function<void(const FoundDir&)>& row, FoundDirBounds bounds) {
    ScanResult<FoundDir> out;
    if (ScanEnd pre = scan_precondition(store, kFoundFdc | kFoundSbc); pre != ScanEnd::finished) {
        out.end = pre;
        return out;
    }
    ScanRescue rescue(store.scan_rescue, out.unreadable);
    Batch batch(store, bounds.dot_entries, rescue);
    uint8_t salvaged[kDescriptorBytes];
    bool limit_reached = false;
    int32_t n = 1;
    auto emit = [&](const FoundDir& rec) {
        out.rows.push_back(rec);
        if (row) row(rec);
    };
    ItemWindow slots(store, store.fs.fdc);
    auto visit = [&](uint32_t entry, uint32_t item) {
        const uint32_t f = fd_build(entry, item);
        const uint8_t* raw_descriptor = nullptr;
        bool partial = false;
        const SlotRead got = read_free_slot(store, slots, rescue, f, salvaged, raw_descriptor, partial);
        if (got == SlotRead::failed) return Visit::end_command;
        if (got == SlotRead::skipped) return Visit::next;
        const std::span<const uint8_t> descriptor(raw_descriptor, kDescriptorBytes);
        if (load_le<uint32_t>(descriptor, kDescriptorIdOffset) != f ||
            load_le<uint32_t>(descriptor, kDescriptorTypeOffset) != kTypeDir)
            return Visit::next;
        Descriptor dir;
        inode_parse(dir, descriptor);
        batch.add(f, dir, partial);
        if (batch.full() && !batch.resolve(n, bounds.rows, emit)) {
            limit_reached = true;
            return Visit::stop_walk;
        }
        return Visit::next;
    };
    out.end = scan_free_items(store, store.fs.fdc, visit, &progress, EntryFailure::end_scan, &slots, &rescue, SkippedIn::fdc);
    // The rows of the slots walked stay whatever ended the walk.
    if (!limit_reached && !batch.empty() && !batch.resolve(n, bounds.rows, emit)) limit_reached = true;
    if (limit_reached) out.end = ScanEnd::row_limit;
    return out;
}

} // namespace ds
