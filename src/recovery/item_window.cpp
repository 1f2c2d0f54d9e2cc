#include "recovery/item_window.h"

#include "vmfs/file_read.h"

#include <algorithm>

namespace ds {

ItemWindow::ItemWindow(const tvmfs_bitmap& bm, int64_t window_bytes) : bm_(bm), window_bytes_(window_bytes) {
    const int32_t size = bm.header.item_size;
    // A window smaller than two items would only add a copy.
    if (size <= 0 || window_bytes_ < 2 * int64_t{size}) window_bytes_ = 0;
    if (size > 0) single_.resize(static_cast<size_t>(size));
}

const uint8_t* ItemWindow::item(uint32_t entry, uint32_t item) {
    const int64_t size = bm_.header.item_size;
    if (size <= 0) return nullptr;
    const int64_t pos = bitmap_item_pos(bm_, entry, item);
    if (pos < 0) return nullptr;
    if (start_ >= 0 && pos >= start_ && pos - start_ <= filled_ - size) return buf_.data() + (pos - start_);

    if (window_bytes_ > 0 && pos >= no_runs_before_) {
        // The run ends where the items of this area end: past them lie the
        // next area's bitmap entries, which no item read would touch.
        const int64_t per_area = int64_t{bm_.header.items_per_entry} * bm_.header.entries_per_area;
        const int64_t n = int64_t{entry} * bm_.header.items_per_entry + item;
        const int64_t left_in_area = per_area - n % per_area;   // this item included
        const int64_t run = left_in_area > window_bytes_ / size ? window_bytes_ : left_in_area * size;
        if (buf_.size() < static_cast<size_t>(window_bytes_)) buf_.resize(static_cast<size_t>(window_bytes_));
        ++file_reads_;
        const int64_t got = file_read(bm_.inode, buf_.data(), run, pos);
        if (got >= size) {
            start_ = pos;
            filled_ = got;
            return buf_.data();
        }
        start_ = -1;
        filled_ = 0;
        no_runs_before_ = pos + run;
    }
    ++file_reads_;
    if (file_read(bm_.inode, single_.data(), size, pos) != size) return nullptr;
    return single_.data();
}

const uint8_t* ItemWindow::descriptor(uint32_t entry, uint32_t item) {
    const uint8_t* bytes = this->item(entry, item);
    const int64_t size = bm_.header.item_size;
    if (!bytes || size >= kDescriptorBytes) return bytes;
    // A short item reads as a descriptor whose tail is zero.
    std::fill(padded_.begin(), padded_.end(), uint8_t{0});
    std::copy_n(bytes, size, padded_.begin());
    return padded_.data();
}

} // namespace ds
