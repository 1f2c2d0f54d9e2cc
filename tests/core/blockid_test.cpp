#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/fsinfo.h"
#include "text/name_text.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using namespace ds;

TEST(BlockId, BuildsAndSplitsEveryKind) {
    EXPECT_EQ(fd_build(0, 0), 4u);
    EXPECT_EQ(fd_entry(4), 0u);
    EXPECT_EQ(fd_item(4), 0u);
    EXPECT_EQ(fd_entry(fd_build(0x7FFF, 0x3FF)), 0x7FFFu);
    EXPECT_EQ(fd_item(fd_build(0x7FFF, 0x3FF)), 0x3FFu);
    EXPECT_EQ(fb_item(0xFFFFFFC1u), 0x3FFFFFFu);   // bits 3-5 out, 26-31 in
    EXPECT_EQ(sb_build(1, 1), 0x04000042u);
    EXPECT_EQ(sb_entry(0x04000042u), 1u);
    EXPECT_EQ(sb_item(0x04000042u), 1u);
    EXPECT_EQ(pb_entry((5u << 6) | (7u << 28) | 3u), 5u);
    EXPECT_EQ(pb_item((5u << 6) | (7u << 28) | 3u), 7u);
    EXPECT_EQ(blkid_type(fb_build(9)), kBlockFile);
    EXPECT_EQ(blkid_type(0), 0u);
}

// Every value of every field, with the other field of the id at zero and at
// its largest value: a decoder that keeps too few bits of a field, or lets
// one field spill into the other, fails here.
TEST(BlockId, EveryFieldRoundTripsOverItsWholeRange) {
    for (uint32_t other : {0u, 0x3Fu}) {
        for (uint32_t entry = 0; entry <= 0xFFFFFu; ++entry) {
            const uint32_t id = sb_build(entry, other);
            if (sb_entry(id) != entry || sb_item(id) != other || blkid_type(id) != kBlockSub) FAIL() << entry;
        }
    }
    for (uint32_t other : {0u, 0xFFFFFu}) {
        for (uint32_t item = 0; item <= 0x3Fu; ++item) {
            const uint32_t id = sb_build(other, item);
            EXPECT_EQ(sb_item(id), item);
            EXPECT_EQ(sb_entry(id), other);
        }
    }
    for (uint32_t other : {0u, 0x3FFu}) {
        for (uint32_t entry = 0; entry <= 0x7FFFu; ++entry) {
            const uint32_t id = fd_build(entry, other);
            if (fd_entry(id) != entry || fd_item(id) != other || blkid_type(id) != kBlockDescriptor) FAIL() << entry;
        }
    }
    for (uint32_t other : {0u, 0x7FFFu}) {
        for (uint32_t item = 0; item <= 0x3FFu; ++item) {
            const uint32_t id = fd_build(other, item);
            if (fd_item(id) != item || fd_entry(id) != other || (id & (1u << 21)) != 0) FAIL() << item;
        }
    }
    // Pointer-block ids are only ever taken apart; bit 21 of a descriptor id
    // and bits 3-5 of every id belong to no field.
    for (uint32_t other : {0u, 0xFu}) {
        for (uint32_t entry = 0; entry <= 0x3FFFFFu; ++entry) {
            const uint32_t id = (entry << 6) | (other << 28) | 0x38u | kBlockPointer;
            if (pb_entry(id) != entry || pb_item(id) != other) FAIL() << entry;
        }
    }
    for (uint32_t other : {0u, 0x3FFFFFu}) {
        for (uint32_t item = 0; item <= 0xFu; ++item) {
            const uint32_t id = (other << 6) | (item << 28) | kBlockPointer;
            EXPECT_EQ(pb_item(id), item);
            EXPECT_EQ(pb_entry(id), other);
        }
    }
    EXPECT_EQ(fd_entry(fd_build(0, 0) | (1u << 21) | 0x38u), 0u);
    EXPECT_EQ(fd_item(fd_build(0, 0) | (1u << 21) | 0x38u), 0u);
    // File-block numbers use all 26 upper bits; a step that is prime to every
    // power of two reaches each bit pattern of the low and the high bits.
    for (uint64_t n = 0; n <= 0x3FFFFFFu; n += 4099) {
        const uint32_t id = fb_build(static_cast<uint32_t>(n));
        if (fb_item(id) != n || blkid_type(id) != kBlockFile || fb_item(id | 0x38u) != n) FAIL() << n;
    }
    EXPECT_EQ(fb_item(fb_build(0x3FFFFFFu)), 0x3FFFFFFu);
}

TEST(BlockId, ProvisionalFdcBlockFollowsTheBlockSize) {
    EXPECT_EQ(provisional_fdc_block(1048576), 4u);
    EXPECT_EQ(provisional_fdc_block(2097152), 2u);
    EXPECT_EQ(provisional_fdc_block(8388608), 1u);   // 0.5 is raised to 1
}

Bitmap bitmap_with(int32_t ipe, int32_t epa, int32_t item_size, int32_t area_size, int32_t header_size) {
    Bitmap bm;
    bm.header.items_per_entry = ipe;
    bm.header.entries_per_area = epa;
    bm.header.item_size = item_size;
    bm.header.area_size = area_size;
    bm.header.header_size = header_size;
    return bm;
}

TEST(BitmapLayout, ItemPositions) {
    Bitmap bm = bitmap_with(16, 16, 2048, 540672, 65536);
    EXPECT_EQ(bitmap_item_pos(bm, 0, 0), 81920);
    EXPECT_EQ(bitmap_item_pos(bm, 17, 3), 661504);
    // The first item of area 1 lies after that area's own entries.
    EXPECT_EQ(bitmap_item_pos(bm, 16, 0), 65536 + 540672 + 16 * 1024);
}

TEST(BitmapLayout, RefusesHeadersThatCannotPlaceAnItem) {
    EXPECT_EQ(bitmap_item_pos(bitmap_with(0, 16, 2048, 540672, 65536), 0, 0), -1);
    EXPECT_EQ(bitmap_item_pos(bitmap_with(16, 0, 2048, 540672, 65536), 0, 0), -1);
    EXPECT_EQ(bitmap_item_pos(bitmap_with(16, 16, 0, 540672, 65536), 0, 0), -1);
    // Huge counts overflow 64 bits instead of wrapping into a bogus offset.
    EXPECT_EQ(bitmap_item_pos(bitmap_with(0x7FFFFFFF, 1, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF), 0xFFFFFFFF, 5), -1);
}

TEST(BitmapEntry, FreeBitsAndBounds) {
    uint8_t raw[1024] = {};
    raw[0x200] = 3;                       // id
    raw[0x204] = 16;                      // total
    raw[0x208] = 1;                       // free
    raw[0x210 + 1] = 0x02;                // item 9: byte 1, bit 1
    BitmapEntry e;
    bitmap_entry_parse(raw, e);
    EXPECT_EQ(e.id, 3u);
    EXPECT_EQ(e.total, 16u);
    BitmapHeader h;
    h.items_per_entry = 16;
    EXPECT_FALSE(bitmap_item_allocated(h, e, e.id, 9));
    EXPECT_TRUE(bitmap_item_allocated(h, e, e.id, 8));
    // An item beyond the 496-byte map never reads past it and is not free.
    h.items_per_entry = 100000;
    EXPECT_TRUE(bitmap_item_allocated(h, e, 0, 50000));
    h.items_per_entry = 0;
    EXPECT_TRUE(bitmap_item_allocated(h, e, 0, 9));
}

DirEntry entry_named(const char* bytes, size_t len) {
    DirEntry e;
    std::memcpy(e.name, bytes, std::min(len, sizeof e.name));
    return e;
}

TEST(DirentName, CleansAndDecodes) {
    EXPECT_EQ(dirent_name(entry_named(" \t.sbc.sf\x01 ", 11)), ".sbc.sf");
    std::string full(128, 'a');
    EXPECT_EQ(dirent_name(entry_named(full.data(), full.size())), full);   // no NUL: all 128 bytes
    EXPECT_EQ(dirent_name(entry_named("ab\0cd", 5)), "ab");
    EXPECT_EQ(display_name(entry_named("caf\xC3\xA9", 5)), "caf\xC3\xA9");
    EXPECT_EQ(display_name(entry_named("bad\xFFname", 8)), "bad\xEF\xBF\xBDname");
    EXPECT_EQ(utf8_sanitize("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");           // overlong
    EXPECT_EQ(utf8_sanitize("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");   // surrogate
    EXPECT_EQ(utf8_sanitize("\xE4\xB8"), "\xEF\xBF\xBD\xEF\xBF\xBD");             // cut short
}

} // namespace
