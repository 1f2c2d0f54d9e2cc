#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "vmfs/fsinfo.h"

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

TEST(BlockId, ProvisionalFdcBlockFollowsTheBlockSize) {
    EXPECT_EQ(provisional_fdc_block(1048576), 4u);
    EXPECT_EQ(provisional_fdc_block(2097152), 2u);
    EXPECT_EQ(provisional_fdc_block(8388608), 1u);   // 0.5 is raised to 1
}

tvmfs_bitmap bitmap_with(int32_t ipe, int32_t epa, int32_t item_size, int32_t area_size, int32_t header_size) {
    tvmfs_bitmap bm;
    bm.header.items_per_entry = ipe;
    bm.header.entries_per_area = epa;
    bm.header.item_size = item_size;
    bm.header.area_size = area_size;
    bm.header.header_size = header_size;
    return bm;
}

TEST(BitmapLayout, ItemPositions) {
    tvmfs_bitmap bm = bitmap_with(16, 16, 2048, 540672, 65536);
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
    tvmfs_bitmap_entry e;
    bitmap_entry_parse(raw, e);
    EXPECT_EQ(e.id, 3u);
    EXPECT_EQ(e.total, 16u);
    tvmfs_bitmap_header h;
    h.items_per_entry = 16;
    EXPECT_EQ(bitmap_item_allocated(h, e, e.id, 9), 0);
    EXPECT_EQ(bitmap_item_allocated(h, e, e.id, 8), 1);
    // An item beyond the 496-byte map never reads past it and is not free.
    h.items_per_entry = 100000;
    EXPECT_EQ(bitmap_item_allocated(h, e, 0, 50000), 1);
    h.items_per_entry = 0;
    EXPECT_EQ(bitmap_item_allocated(h, e, 0, 9), 1);
}

tvmfs_dirent entry_named(const char* bytes, size_t len) {
    tvmfs_dirent e;
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
