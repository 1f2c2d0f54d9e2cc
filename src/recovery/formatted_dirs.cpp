#include "recovery/formatted_dirs.h"
#include "vmfs/store.h"

#include "recovery/item_window.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <algorithm>
#include <vector>

namespace ds {

namespace {

// For every directory at once, the first free sub-block (walk order) that
// begins with a "." entry of type 2 naming it, from a single walk over the
// free sub-blocks: a formatted datastore has thousands of candidates, and
// searching once per candidate reads the sub-blocks again for each. The first
// readable match in walk order wins.
//
// Only ids that a descriptor can have are kept, each once (a bit per
// descriptor id marks those seen, 4 MiB), and at most max_ids of them: a
// forged ".sbc.sf" could otherwise name tens of millions. Past that bound the
// index cannot say that a directory has no such sub-block.
class DotEntryIndex {
public:
    enum class Lookup { found, none, unknown };

    DotEntryIndex(Store& store, size_t max_ids) : store(store), max_ids_(max_ids) {}
    Lookup find(uint32_t dir_id, uint32_t& sb) {
        if (!built_) build();
        auto it = std::lower_bound(first_.begin(), first_.end(), std::pair<uint32_t, uint32_t>{dir_id, 0});
        if (it != first_.end() && it->first == dir_id) {
            sb = it->second;
            return Lookup::found;
        }
        return full_ ? Lookup::unknown : Lookup::none;
    }

private:
    static bool descriptor_id(uint32_t id) { return fd_build(fd_entry(id), fd_item(id)) == id; }
    static size_t seen_bit(uint32_t id) { return (size_t{fd_item(id)} << 15) | fd_entry(id); }

    void build() {
        built_ = true;
        const Bitmap& sbc = store.fs.sbc;
        std::vector<uint8_t> item(static_cast<size_t>(std::max(sbc.header.item_size, 0)));
        std::vector<bool> seen(size_t{1} << 25);
        auto visit = [&](uint32_t entry, uint32_t index) {
            uint8_t head[8];
            int64_t pos = bitmap_item_pos(sbc, entry, index);
            if (pos < 0 || file_read(store, sbc.inode, head, sizeof head, pos) != sizeof head) return Visit::next;
            if (load_le<uint32_t>(head, 0) != kTypeDir) return Visit::next;
            uint32_t dir_id = load_le<uint32_t>(head, 4);
            // Only a sub-block that can be read whole counts.
            if (!descriptor_id(dir_id) || seen[seen_bit(dir_id)] ||
                !bitmap_read_item(store, sbc, entry, index, item))
                return Visit::next;
            if (first_.size() == max_ids_) {
                full_ = true;
                return Visit::stop_walk;
            }
            seen[seen_bit(dir_id)] = true;
            first_.emplace_back(dir_id, sb_build(entry, index));
            return Visit::next;
        };
        scan_free_items(store, sbc, visit, nullptr, EntryFailure::skip_entry);
        std::sort(first_.begin(), first_.end());
    }

    Store& store;
    size_t max_ids_;
    bool built_ = false;
    bool full_ = false;
    std::vector<std::pair<uint32_t, uint32_t>> first_;   // (directory id, sub-block id), by id
};

} // namespace

ScanResult<FoundDir> scan_formatted_dirs(Store& store, const ScanProgress& progress,
                                          const std::function<void(const FoundDir&)>& row, FoundDirBounds bounds) {
    ScanResult<FoundDir> out;
    if (ScanEnd pre = scan_precondition(store, kFoundFdc | kFoundSbc); pre != ScanEnd::finished) {
        out.end = pre;
        return out;
    }
    DotEntryIndex dot_entries(store, bounds.dot_entries);   // built when the first candidate needs it
    bool limit_reached = false;
    int32_t n = 1;
    ItemWindow slots(store, store.fs.fdc);
    auto visit = [&](uint32_t entry, uint32_t item) {
        const uint32_t f = fd_build(entry, item);
        const uint8_t* raw_descriptor = slots.descriptor(fd_entry(f), fd_item(f));
        if (!raw_descriptor) return Visit::end_command;
        const std::span<const uint8_t> descriptor(raw_descriptor, kDescriptorBytes);
        if (load_le<uint32_t>(descriptor, kDescriptorIdOffset) != f ||
            load_le<uint32_t>(descriptor, kDescriptorTypeOffset) != kTypeDir)
            return Visit::next;
        Descriptor dir;
        inode_parse(dir, descriptor);

        // Only the block ids of "." and ".." are looked at, not their names.
        // A candidate whose first entries cannot be read is one damaged
        // directory, not a reason to give up on the others.
        uint8_t raw[kDirentBytes];
        if (file_read(store, dir, raw, kDirentBytes, 0) != kDirentBytes) return Visit::next;
        DirEntry dot;
        dirent_parse(raw, dot);
        int32_t first_block = -1;
        if (dot.descriptor_id != f) {
            uint32_t sb = 0;
            switch (dot_entries.find(f, sb)) {
            case DotEntryIndex::Lookup::found: break;
            case DotEntryIndex::Lookup::none: return Visit::next;
            case DotEntryIndex::Lookup::unknown: limit_reached = true; return Visit::stop_walk;
            }
            first_block = static_cast<int32_t>(sb);
            substitute_first_block(dir, sb);   // in memory only
        }
        if (file_read(store, dir, raw, kDirentBytes, kDirentBytes) != kDirentBytes) return Visit::next;
        DirEntry dotdot;
        dirent_parse(raw, dotdot);
        if (dotdot.descriptor_id != kRootDirId) return Visit::next;   // deeper ones are reached through their parents

        if (n > bounds.rows) {
            limit_reached = true;
            return Visit::stop_walk;
        }
        FoundDir rec{n, f, first_block};
        out.rows.push_back(rec);
        if (row) row(rec);
        ++n;
        return Visit::next;
    };
    out.end = scan_free_items(store, store.fs.fdc, visit, &progress, EntryFailure::end_scan, &slots);
    if (limit_reached && out.end == ScanEnd::finished) out.end = ScanEnd::row_limit;
    return out;
}

} // namespace ds
