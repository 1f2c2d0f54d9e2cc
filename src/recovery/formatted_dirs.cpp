#include "recovery/formatted_dirs.h"

#include "recovery/item_window.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <unordered_map>
#include <vector>

namespace ds {

namespace {

// For every directory at once, the first free sub-block (walk order) that
// begins with a "." entry of type 2 naming it, from a single walk over the
// free sub-blocks: a formatted datastore has thousands of candidates, and
// searching once per candidate reads the sub-blocks again for each. The first
// readable match in walk order wins.
class DotEntryIndex {
public:
    uint32_t find(uint32_t dir_id) {
        if (!built_) build();
        auto it = first_.find(dir_id);
        return it == first_.end() ? 0 : it->second;
    }

private:
    void build() {
        built_ = true;
        const tvmfs_bitmap& sbc = fs_state().sbc;
        std::vector<uint8_t> item(static_cast<size_t>(std::max(sbc.header.item_size, 0)));
        auto visit = [&](uint32_t entry, uint32_t index) {
            uint8_t head[8];
            int64_t pos = bitmap_item_pos(sbc, entry, index);
            if (pos < 0 || file_read(sbc.inode, head, sizeof head, pos) != sizeof head) return Visit::next;
            if (load_le<uint32_t>(head, 0) != kTypeDir) return Visit::next;
            uint32_t dir_id = load_le<uint32_t>(head, 4);
            // Only a sub-block that can be read whole counts.
            if (first_.count(dir_id) || bitmap_read_item(sbc, entry, index, item) != 0) return Visit::next;
            first_.emplace(dir_id, sb_build(entry, index));
            return Visit::next;
        };
        scan_free_items(sbc, visit, nullptr, EntryFailure::skip_entry);
    }

    bool built_ = false;
    std::unordered_map<uint32_t, uint32_t> first_;
};

} // namespace

ScanEnd scan_formatted_dirs(const ScanProgress& progress, const std::function<void(const found_dir&)>& row) {
    if (ScanEnd pre = scan_precondition(kFoundFdc | kFoundSbc); pre != ScanEnd::finished) return pre;
    found_dirs().clear();
    DotEntryIndex dot_entries;   // built when the first candidate needs it
    int32_t n = 1;
    ItemWindow slots(fs_state().fdc);
    auto visit = [&](uint32_t entry, uint32_t item) {
        const uint32_t f = fd_build(entry, item);
        const uint8_t* raw_descriptor = slots.descriptor(fd_entry(f), fd_item(f));
        if (!raw_descriptor) return Visit::end_command;
        const std::span<const uint8_t> descriptor(raw_descriptor, kDescriptorBytes);
        if (load_le<uint32_t>(descriptor, kDescriptorIdOffset) != f ||
            load_le<uint32_t>(descriptor, kDescriptorTypeOffset) != kTypeDir)
            return Visit::next;
        tvmfs_inode dir;
        inode_parse(dir, descriptor);

        // Only the block ids of "." and ".." are looked at, not their names.
        // A candidate whose first entries cannot be read is one damaged
        // directory, not a reason to give up on the others.
        uint8_t raw[kDirentBytes];
        if (file_read(dir, raw, kDirentBytes, 0) != kDirentBytes) return Visit::next;
        tvmfs_dirent dot;
        dirent_parse(raw, dot);
        int32_t first_block = -1;
        if (dot.block_id != f) {
            const uint32_t sb = dot_entries.find(f);
            if (sb == 0) return Visit::next;
            first_block = static_cast<int32_t>(sb);
            substitute_first_block(dir, sb);   // in memory only
        }
        if (file_read(dir, raw, kDirentBytes, kDirentBytes) != kDirentBytes) return Visit::next;
        tvmfs_dirent dotdot;
        dirent_parse(raw, dotdot);
        if (dotdot.block_id != kRootDirId) return Visit::next;   // deeper ones are reached through their parents

        found_dir rec{n, f, first_block};
        found_dirs().push_back(rec);
        if (row) row(rec);
        ++n;
        return Visit::next;
    };
    return scan_free_items(fs_state().fdc, visit, &progress, EntryFailure::end_scan, &slots);
}

} // namespace ds
