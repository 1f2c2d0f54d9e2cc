#include "recovery/item_window.h"

#include "vmfs/store.h"

#include <algorithm>

namespace ds {

ItemWindow::ItemWindow(Store& store, const Bitmap& bm, int64_t window_bytes)
    : store_(store), bm_(bm), window_bytes_(window_bytes) {}

const uint8_t* ItemWindow::bytes(int64_t pos, int64_t len) {
    if (pos < 0 || len <= 0) return nullptr;
    if (start_ >= 0 && pos >= start_ && pos - start_ <= filled_ - len) return buf_.data() + (pos - start_);

    // Runs start at multiples of the window, which file blocks of that size
    // or larger share: every run is then one whole read of the device, and
    // no byte is read twice. Only a part that would cross the window's end
    // starts a run of its own.
    if (len * 2 <= window_bytes_ && pos >= no_runs_before_) {
        int64_t run_start = pos - pos % window_bytes_;
        if (pos + len > run_start + window_bytes_) run_start = pos;
        if (buf_.size() < static_cast<size_t>(window_bytes_)) buf_.resize(static_cast<size_t>(window_bytes_));
        ++file_reads_;
        const int64_t got = file_read(store_, bm_.inode, buf_.data(), window_bytes_, run_start);
        if (got >= pos - run_start + len) {
            start_ = run_start;
            filled_ = got;
            return buf_.data() + (pos - run_start);
        }
        start_ = -1;
        filled_ = 0;
        no_runs_before_ = run_start + window_bytes_;
    }
    if (single_.size() < static_cast<size_t>(len)) single_.resize(static_cast<size_t>(len));
    ++file_reads_;
    if (file_read(store_, bm_.inode, single_.data(), len, pos) != len) return nullptr;
    return single_.data();
}

const uint8_t* ItemWindow::kept(int64_t pos, int64_t len) {
    if (len <= 0 || len > kMaxKept) return nullptr;
    const uint8_t* b = bytes(pos, len);
    if (!b) return nullptr;
    kept_.assign(b, b + len);
    return kept_.data();
}

const uint8_t* ItemWindow::item(uint32_t entry, uint32_t item) {
    const int64_t size = bm_.header.item_size;
    if (size <= 0) return nullptr;
    const int64_t pos = bitmap_item_pos(bm_, entry, item);
    if (pos < 0) return nullptr;
    return bytes(pos, size);
}

const uint8_t* ItemWindow::descriptor(uint32_t entry, uint32_t item) {
    const uint8_t* b = this->item(entry, item);
    const int64_t size = bm_.header.item_size;
    if (!b || size >= kDescriptorBytes) return b;
    // A short item reads as a descriptor whose tail is zero.
    std::fill(padded_.begin(), padded_.end(), uint8_t{0});
    std::copy_n(b, size, padded_.begin());
    return padded_.data();
}

} // namespace ds
