#include "recovery/deleted_files.h"
#include "vmfs/store.h"

#include "recovery/item_window.h"
#include "recovery/scan_rescue.h"
#include "vmfs/le.h"

#include "vmfs/blockid.h"
#include "vmfs/fs.h"

namespace ds {

FileRow make_file_row(Store& store, const Descriptor& inode, int n, uint32_t descriptor_id) {
    FileRow r;
    r.n = n;
    r.addr_mode = inode.addr_mode;
    r.block_size = store.fs.fsinfo.blocksize;
    r.create_time = inode.create_time;
    r.update_time = inode.update_time;
    r.access_time = inode.atime;
    r.descriptor_id = descriptor_id;
    r.bytes = inode.size;
    return r;
}

ScanResult<FileRow> scan_deleted_files(Store& store, const ScanProgress& progress,
                                       const std::function<void(const FileRow&)>& row, bool dirs) {
    ScanResult<FileRow> out;
    if (ScanEnd pre = scan_precondition(store, kFoundFdc); pre != ScanEnd::finished) {
        out.end = pre;
        return out;
    }
    int n = 1;
    ItemWindow slots(store, store.fs.fdc);
    ScanRescue rescue(store.scan_rescue, out.unreadable);
    uint8_t salvaged[kDescriptorBytes];
    auto visit = [&](uint32_t entry, uint32_t item) {
        const uint32_t f = fd_build(entry, item);
        const uint8_t* raw = nullptr;
        bool partial = false;
        const SlotRead got = read_free_slot(store, slots, rescue, f, salvaged, raw, partial);
        if (got == SlotRead::failed) return Visit::end_command;
        if (got == SlotRead::skipped) return Visit::next;
        // A slot that still names itself and still holds a regular file (or,
        // when asked, a directory); a never-used slot carries id 0, and system
        // files are never offered. Only such a slot is parsed whole.
        const std::span<const uint8_t> bytes(raw, kDescriptorBytes);
        const uint32_t type = load_le<uint32_t>(bytes, kDescriptorTypeOffset);
        if (load_le<uint32_t>(bytes, kDescriptorIdOffset) == f && (type == kTypeRegular || (dirs && type == kTypeDir))) {
            Descriptor inode;
            inode_parse(inode, {raw, kDescriptorBytes});
            FileRow r = make_file_row(store, inode, n, f);
            r.partly_unreadable = partial;
            r.is_dir = type == kTypeDir;
            if (row)
                row(r);
            else
                out.rows.push_back(std::move(r));
            ++n;
        }
        return Visit::next;
    };
    out.end = scan_free_items(store, store.fs.fdc, visit, &progress, EntryFailure::end_scan, &slots, &rescue, SkippedIn::fdc);
    return out;
}

} // namespace ds
