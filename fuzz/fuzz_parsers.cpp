// Parsers of single on-disk records: volume header, file-system descriptor,
// bitmap header and entries, file descriptor, directory entry. Each target is
// this file built with FUZZ_RECORD naming its record.

#include "vmfs/store.h"
#include "fuzz_volume.h"

#include "vmfs/bitmap.h"
#include "vmfs/dirent.h"
#include "vmfs/file_read.h"
#include "text/info_text.h"
#include "vmfs/fs.h"
#include "vmfs/inode.h"
#include "vmfs/volume.h"

#include <vector>

namespace {

dsfuzz::MemoryVolume& volume() {
    static dsfuzz::MemoryVolume v(8 * 1048576);
    return v;
}

void fuzz_volume_header(const uint8_t* data, size_t size) {
    auto& v = volume();
    v.clear();
    v.put(ds::kVolumeHeaderOffset - dsfuzz::kDataArea, data, std::min<size_t>(size, 1024));
    if (ds::add_disk(v.store(), "mem0", 0) == 0) {
        uint8_t buf[64];
        ds::lvm_read(v.store(), buf, 0, 0, sizeof buf);
        ds::lvm_read(v.store(), buf, 0, int64_t{1} << 40, sizeof buf);
        ds::add_disk(v.store(), "mem0", 0);
    }
}

void fuzz_fsinfo(const uint8_t* data, size_t size) {
    auto& v = volume();
    v.clear();
    v.put_volume_header();
    v.put(0x200000, data, std::min<size_t>(size, 512));
    if (ds::add_disk(v.store(), "mem0", 0) != 0) return;
    ds::fs_open(v.store());
    ds::info_lines(v.store().volume(), v.store().fs_params());
}

// The input is the start of a bitmap system file reached through a one-block
// descriptor: its header, then entries and items.
void fuzz_bitmap(const uint8_t* data, size_t size) {
    auto& v = volume();
    v.clear();
    v.put_volume_header();
    if (ds::add_disk(v.store(), "mem0", 0) != 0) return;
    v.put(4 * 1048576, data, std::min<size_t>(size, 1048576));
    ds::internals(v.store()).fs.fsinfo.blocksize = 1048576;
    ds::Bitmap bm;
    ds::bitmap_set_provisional_fdc(bm, 1048576);
    if (!ds::bitmap_open(v.store(), bm, bm)) return;
    std::vector<uint8_t> raw(1024), item(static_cast<size_t>(bm.header.item_size));
    int64_t pos = bm.header.header_size;
    for (int k = 0; k < 4 && ds::file_read(v.store(), bm.inode, raw.data(), 1024, pos) == 1024; ++k, pos += 1024) {
        ds::BitmapEntry e;
        ds::bitmap_entry_parse(raw, e);
        for (uint32_t i = 0; i < std::min<uint32_t>(e.total, 4096); ++i)
            if (!ds::bitmap_item_allocated(bm.header, e, e.id, i)) ds::bitmap_read_item(v.store(), bm, e.id, i, item);
    }
}

void fuzz_descriptor(const uint8_t* data, size_t size) {
    auto& v = volume();
    v.clear();
    v.put_volume_header();
    if (ds::add_disk(v.store(), "mem0", 0) != 0) return;
    std::vector<uint8_t> buf(data, data + std::min<size_t>(size, 2048));
    buf.resize(2048);
    ds::Descriptor inode;
    ds::inode_parse(inode, buf);
    ds::internals(v.store()).fs.fsinfo.blocksize = 1048576;
    std::vector<uint8_t> out(4096);
    ds::file_read(v.store(), inode, out.data(), static_cast<int64_t>(out.size()), 0);
    ds::file_read(v.store(), inode, out.data(), static_cast<int64_t>(out.size()), inode.size / 2);
    ds::dir_walk(v.store(), inode, [](const ds::DirEntry& e) { ds::display_name(e); });
}

void fuzz_dirent(const uint8_t* data, size_t size) {
    std::vector<uint8_t> buf(data, data + std::min<size_t>(size, 140));
    buf.resize(140);
    ds::DirEntry e;
    ds::dirent_parse(buf, e);
    ds::dirent_name(e);
    ds::display_name(e);
}

} // namespace

#ifndef FUZZ_RECORD
#error "FUZZ_RECORD selects the record this target parses"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    switch (FUZZ_RECORD) {
    case 0: fuzz_volume_header(data, size); break;
    case 1: fuzz_fsinfo(data, size); break;
    case 2: fuzz_bitmap(data, size); break;
    case 3: fuzz_descriptor(data, size); break;
    default: fuzz_dirent(data, size); break;
    }
    return 0;
}
