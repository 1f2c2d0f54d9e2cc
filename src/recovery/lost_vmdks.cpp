#include "recovery/lost_vmdks.h"
#include "vmfs/store.h"

#include "recovery/item_window.h"
#include "recovery/scan_rescue.h"
#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ds {

PartitionRow make_partition_row(const uint8_t (&table)[64], int n) {
    PartitionRow r;
    r.n = n;
    for (int k = 0; k < 4; ++k) {
        const uint8_t* e = table + 16 * k;
        bool empty = true;
        for (int b = 0; b < 16; ++b) empty = empty && e[b] == 0;
        if (empty) break;   // the table ends at the first all-zero entry
        r.types.push_back(e[4]);
        r.kib += load_le<uint32_t>(std::span<const uint8_t>(e, 16), 12) / 2;   // an odd count loses its half KiB
    }
    for (int k = 0; k < 4; ++k) {
        const std::span<const uint8_t> e(table + 16 * k, 16);
        if (std::all_of(e.begin(), e.end(), [](uint8_t b) { return b == 0; })) break;
        const int64_t end = (int64_t{load_le<uint32_t>(e, 8)} + load_le<uint32_t>(e, 12)) * 512;
        r.partitions_end = std::max(r.partitions_end, end);
    }
    return r;
}

bool looks_like_mbr(const uint8_t* b) {
    const bool boot = (b[0] == 0x33 && b[1] == 0xC0 && b[2] == 0x8E) || (b[0] == 0xEB && b[1] == 0x48 && b[2] == 0x90) ||
                      (b[0] == 0xFA && b[1] == 0x33 && b[2] == 0xC0);
    return boot && b[510] == 0x55 && b[511] == 0xAA;
}

namespace {

// A pointer block holding anything but file-block ids (or nothing at all)
// cannot be a part of a virtual disk; one whose entry or item is too wide
// for a pointer-block id cannot be named by the rebuilt disk.
// Compared a slice at a time with a block of zeros: memcmp runs at memory
// speed, an id at a time does not.
bool all_zero(std::span<const uint8_t> bytes) {
    static constexpr uint8_t kZeros[4096] = {};
    while (!bytes.empty()) {
        const size_t n = std::min(bytes.size(), sizeof kZeros);
        if (std::memcmp(bytes.data(), kZeros, n) != 0) return false;
        bytes = bytes.subspan(n);
    }
    return true;
}

void gather_candidate(const Bitmap& pbc, uint32_t entry, uint32_t index, std::span<const uint8_t> item,
                      std::vector<PointerBlockCandidate>& out) {
    if (entry > 0x3FFFFFu || index > 0xFu || item.size() < 4) return;
    // Most free pointer blocks of a large datastore were never used: zeros.
    if (all_zero(item)) return;
    const size_t per = item.size() / 4;
    PointerBlockCandidate c;
    for (size_t r = 0; r < per; ++r) {
        const uint32_t id = load_le<uint32_t>(item, 4 * r);
        if (id == 0) continue;
        if (blkid_type(id) != kBlockFile) return;
        ++c.ids;
    }
    if (c.ids == 0) return;
    c.pointer_block = (entry << 6) | (index << 28) | kBlockPointer;
    c.first_id = load_le<uint32_t>(item, 0);
    c.last_id = load_le<uint32_t>(item, 4 * (per - 1));
    c.walk_index = uint64_t{entry} * static_cast<uint64_t>(std::max(pbc.header.items_per_entry, 1)) + index;
    out.push_back(c);
}

// A pointer block that cannot be read whole, read by sectors: usable when
// its first id (what the row stands on) was read. What was lost is named.
bool salvage_pointer_block(Store& store, const Bitmap& pbc, uint32_t entry, uint32_t index, std::vector<uint8_t>& item,
                           ScanRescue& rescue) {
    const int64_t pos = bitmap_item_pos(pbc, entry, index);
    if (pos < 0 || item.size() < 4) return false;
    std::vector<ByteSpan> lost;
    read_by_sectors(item.data(), pos, static_cast<int64_t>(item.size()), [&](uint8_t* to, int64_t at, int64_t len) {
        return file_read(store, pbc.inode, to, len, at) == len;
    }, lost);
    for (const ByteSpan& r : lost) rescue.skip(SkippedIn::pbc, r.offset, r.length);
    return lost.empty() || lost.front().offset >= pos + 4;
}

// The first 1024 bytes of a block that cannot be read whole, by sectors:
// usable when the master boot record (its first 512) was read.
bool salvage_first_block(Store& store, uint32_t b, uint8_t (&first)[1024], ScanRescue& rescue) {
    std::vector<ByteSpan> lost;
    read_by_sectors(first, 0, sizeof first, [&](uint8_t* to, int64_t at, int64_t len) {
        return file_block_probe(store, b, to, len, at) == len;
    }, lost);
    const int64_t block_at = int64_t{fb_item(b)} * store.fs.fsinfo.blocksize;
    for (const ByteSpan& r : lost) rescue.skip(SkippedIn::volume, block_at + r.offset, r.length);
    return lost.empty() || lost.front().offset >= 512;
}

// A free pointer block whose first file block is still to be looked at.
struct FirstBlockProbe {
    uint32_t block = 0;              // that file block's id
    uint32_t entry = 0, index = 0;   // the pointer block's place in ".pbc.sf"
    bool partial = false;            // read in part
    bool boot = false;               // its first block holds a boot record
    uint8_t table[64] = {};
};

// Probes looked at together, at most: enough for a long forward sweep of
// the disk, few enough that rows still come while the scan runs.
constexpr size_t kProbeBatch = 8192;

} // namespace

ScanResult<PartitionRow> scan_lost_vmdks(Store& store, const ScanProgress& progress,
                                         const std::function<void(const PartitionRow&)>& row,
                                         std::vector<PointerBlockCandidate>* candidates) {
    ScanResult<PartitionRow> out;
    if (ScanEnd pre = scan_precondition(store, kFoundPbc); pre != ScanEnd::finished) {
        out.end = pre;
        return out;
    }
    const Bitmap& pbc = store.fs.pbc;
    std::vector<uint8_t> item(static_cast<size_t>(std::max(pbc.header.item_size, 0)));
    int n = 1;
    ScanRescue rescue(store.scan_rescue, out.unreadable);
    // Free pointer blocks are read a run at a time, as the deleted-file scan
    // reads descriptors: hundreds of thousands of single 4 KiB reads cost far
    // more than reading ".pbc.sf" once.
    ItemWindow window(store, pbc);
    std::vector<FirstBlockProbe> batch;
    std::vector<uint32_t> order;

    // Every candidate's first block is read apart from the others, in the
    // order of the disk (the walk's order scatters them over the volume),
    // each only for the 1024 bytes looked at and each block once; the rows
    // then follow in walk order.
    auto flush = [&] {
        order.resize(batch.size());
        for (uint32_t k = 0; k < order.size(); ++k) order[k] = k;
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return fb_item(batch[a].block) < fb_item(batch[b].block); });
        uint8_t first[1024];
        bool held = false, readable = false, salvaged = false;
        uint32_t held_block = 0;
        for (uint32_t k : order) {
            FirstBlockProbe& p = batch[k];
            if (!held || p.block != held_block) {
                held = true;
                held_block = p.block;
                salvaged = false;
                readable = file_block_probe(store, p.block, first, sizeof first, 0) == static_cast<int64_t>(sizeof first);
                if (!readable && rescue.on()) readable = salvaged = salvage_first_block(store, p.block, first, rescue);
            }
            if (!readable || !looks_like_mbr(first)) continue;
            p.boot = true;
            p.partial = p.partial || salvaged;
            std::copy(first + 0x1BE, first + 0x1BE + 64, p.table);
        }
        for (const FirstBlockProbe& p : batch) {
            if (!p.boot) continue;
            PartitionRow r = make_partition_row(p.table, n);
            // The id this item has as a pointer block: entry and item in
            // their fields, the type in the low bits. An entry number too wide
            // for its field (a damaged bitmap entry) gives the item no id.
            r.first_block = p.block;
            r.partly_unreadable = p.partial;
            if (p.entry <= 0x3FFFFFu && p.index <= 0xFu) {
                r.pointer_block = (p.entry << 6) | (p.index << 28) | kBlockPointer;
                r.addressed_bytes = int64_t{pbc.header.item_size / 4} * store.fs.fsinfo.blocksize;
            }
            if (row)
                row(r);
            else
                out.rows.push_back(std::move(r));
            ++n;
        }
        batch.clear();
    };
    auto visit = [&](uint32_t entry, uint32_t index) {
        bool partial = false;
        // Looked at in place in the window: copying each out would cost as
        // much as reading ".pbc.sf" again.
        std::span<const uint8_t> bytes(item);
        if (const uint8_t* got = window.item(entry, index)) {
            bytes = {got, item.size()};
            if (candidates) gather_candidate(pbc, entry, index, bytes, *candidates);
        } else {
            // A pointer block read in part would offer zeros as holes: no candidate.
            if (!rescue.on() || !salvage_pointer_block(store, pbc, entry, index, item, rescue)) return Visit::next;
            partial = true;
        }
        const uint32_t b = load_le<uint32_t>(bytes, 0);
        if (blkid_type(b) != kBlockFile) return Visit::next;   // the null id too
        FirstBlockProbe p;
        p.block = b;
        p.entry = entry;
        p.index = index;
        p.partial = partial;
        batch.push_back(p);
        if (batch.size() >= kProbeBatch) flush();
        return Visit::next;
    };
    // The rows of an area come before its progress is reported.
    const ScanProgress area_done = [&](int value) {
        flush();
        return !progress || progress(value);
    };
    out.end = scan_free_items(store, pbc, visit, &area_done, EntryFailure::end_scan, &window, &rescue, SkippedIn::pbc);
    flush();
    return out;
}

Descriptor lost_disk_descriptor(const Store& store, const PartitionRow& row) {
    Descriptor in;
    in.type = kTypeRegular;
    in.addr_mode = 3;
    in.block_size = store.fs.fsinfo.blocksize;
    in.size = row.addressed_bytes;
    in.block_count = in.block_size > 0 ? row.addressed_bytes / in.block_size : 0;
    in.blocks[0] = row.pointer_block;
    return in;
}

} // namespace ds
