// The texts of the recovered-file list and of how a scan ended, which the
// window and the command line show unchanged.
#include "vmfs/store.h"
#include "recovery/deleted_files.h"
#include "recovery/lost_vmdks.h"
#include "recovery/scan.h"
#include "support/test_support.h"
#include "support/time_table.h"
#include "vmfs/fs.h"
#include "text/messages.h"
#include "text/progress_text.h"
#include "text/row_text.h"
#include "text/time_text.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

using dstest::WithDatastore;

std::array<std::string, 4> cells(const ds::PartitionRow& r) { return ds::partition_row_cells(r); }

TEST(FormatUnixTime, EpochEdgesAndTheWholeSigned32BitRange) {
    for (const dstest::TimeCase& c : dstest::time_cases()) {
        EXPECT_EQ(ds::format_unix_time(c.t), c.text) << c.t;
        EXPECT_EQ(ds::iso_utc_time(c.t), c.iso) << c.t;
    }
    // The clock's own 64-bit times (when an export ran) past the 32-bit end.
    EXPECT_EQ(ds::iso_utc_time(int64_t{2147483647} + 1), "2038-01-19T03:14:08Z");
    EXPECT_EQ(ds::iso_utc_time(4102444800), "2100-01-01T00:00:00Z");
}

class SizeClass : public WithDatastore {
protected:
    // The class follows the addressing mode, never the size.
    std::string text(int64_t blocksize, uint32_t addr_mode) {
        ds::internals(store).fs.fsinfo.blocksize = blocksize;
        ds::Descriptor n;
        n.addr_mode = addr_mode;
        n.size = 5;
        return ds::file_row_cells(ds::make_file_row(store, n, 1, 0))[3];
    }
};

TEST_F(SizeClass, FollowsAddressingModeAndBlockSize) {
    EXPECT_EQ(text(1048576, 1), ">=1MB,<256MB");
    EXPECT_EQ(text(1048576, 2), ">=1024byte ,<1048576byte");
    EXPECT_EQ(text(1048576, 3), ">=256MB");
    EXPECT_EQ(text(4194304, 1), ">=4MB,<1024MB");
    EXPECT_EQ(text(8388608, 3), ">=2048MB");
    EXPECT_EQ(text(8388608, 2), ">=1024byte ,<8388608byte");
    EXPECT_EQ(text(1048576, 0), "<1024byte");
    EXPECT_EQ(text(1048576, 4), "<1024byte");
    EXPECT_EQ(text(1048576, 0xFFFFFFFF), "<1024byte");
    // Below one MiB the megabyte figures truncate toward zero.
    EXPECT_EQ(text(524288, 1), ">=0MB,<128MB");
}

TEST_F(SizeClass, FileRowCarriesItsColumnsAndDescriptor) {
    ds::internals(store).fs.fsinfo.blocksize = 1048576;
    ds::Descriptor n;
    n.addr_mode = 3;
    n.create_time = 0;
    n.update_time = -1;
    n.atime = 2147483647;
    ds::FileRow r = ds::make_file_row(store, n, 12, 0x00400044);
    EXPECT_EQ(r.n, 12);
    EXPECT_EQ(ds::file_row_cells(r), (std::array<std::string, 7>{"12", " ", "FILE", ">=256MB", "1970-01-01 00:00:00",
                                                                 "1969-12-31 23:59:59", "2038-01-19 03:14:07"}));
    EXPECT_EQ(r.descriptor_id, 0x00400044u);
}

TEST(PartitionText, EveryTypeHasItsText) {
    EXPECT_EQ(ds::partition_type_text(0x05), "扩展分区");
    EXPECT_EQ(ds::partition_type_text(0x0F), "扩展分区");
    EXPECT_EQ(ds::partition_type_text(0x07), "NTFS");
    EXPECT_EQ(ds::partition_type_text(0x0C), "FAT32");
    EXPECT_EQ(ds::partition_type_text(0x82), "LINUX交换");
    // A Linux file system is named apart from swap and from the unknown.
    EXPECT_EQ(ds::partition_type_text(0x83), "LINUX");
    for (uint8_t t : {0x00, 0x06, 0x0B, 0x0E, 0x84, 0xEE, 0xFF}) EXPECT_EQ(ds::partition_type_text(t), "未知") << int(t);
}

struct Part {
    uint8_t type;
    uint32_t sectors;
};

void put_table(uint8_t (&table)[64], std::initializer_list<Part> parts) {
    std::memset(table, 0, sizeof table);
    int k = 0;
    for (const Part& p : parts) {
        uint8_t* e = table + 16 * k++;
        e[4] = p.type;
        e[8] = 0x3F;   // a start sector, never looked at
        for (int b = 0; b < 4; ++b) e[12 + b] = static_cast<uint8_t>(p.sectors >> (8 * b));
    }
}

TEST(PartitionRow, JoinsTypesAndSumsWholeKibibytes) {
    uint8_t t[64];
    put_table(t, {{0x07, 83886080}, {0x82, 2097152}});
    ds::PartitionRow r = ds::make_partition_row(t, 3);
    EXPECT_EQ(cells(r)[0], "3");
    EXPECT_EQ(cells(r)[1], " ");
    EXPECT_EQ(cells(r)[2], "NTFS|LINUX交换");
    EXPECT_EQ(cells(r)[3], "41GB");

    // Each odd count loses its half KiB before the sum: 1048575 + 0 KiB,
    // where halving the summed sectors would make exactly 1 GiB.
    put_table(t, {{0x83, 2097151}, {0x05, 1}, {0x0C, 0}, {0x06, 0}});
    r = ds::make_partition_row(t, 1);
    EXPECT_EQ(cells(r)[2], "LINUX|扩展分区|FAT32|未知");
    EXPECT_EQ(cells(r)[3], "0GB");

    put_table(t, {{0x07, 2097150}});
    EXPECT_EQ(cells(ds::make_partition_row(t, 1))[3], "0GB");

    put_table(t, {{0xFF, 0xFFFFFFFF}, {0xFF, 0xFFFFFFFF}, {0xFF, 0xFFFFFFFF}, {0xFF, 0xFFFFFFFF}});
    EXPECT_EQ(cells(ds::make_partition_row(t, 1))[3], "8191GB");
}

TEST(PartitionRow, TableEndsAtTheFirstAllZeroEntry) {
    uint8_t t[64];
    put_table(t, {{0x07, 4194304}, {0x00, 0}, {0x0C, 4194304}});
    std::memset(t + 16, 0, 16);
    ds::PartitionRow r = ds::make_partition_row(t, 1);
    EXPECT_EQ(cells(r)[2], "NTFS");
    EXPECT_EQ(cells(r)[3], "2GB");

    std::memset(t, 0, 16);
    r = ds::make_partition_row(t, 1);
    EXPECT_EQ(cells(r)[2], "");
    EXPECT_EQ(cells(r)[3], "0GB");

    // An entry with only its type zero still counts: it is not all zero.
    put_table(t, {{0x00, 2097152}});
    r = ds::make_partition_row(t, 1);
    EXPECT_EQ(cells(r)[2], "未知");
    EXPECT_EQ(cells(r)[3], "1GB");
}

TEST(MasterBootRecord, BootPatternAndSignature) {
    uint8_t b[512] = {};
    b[510] = 0x55;
    b[511] = 0xAA;
    auto with = [&](uint8_t x, uint8_t y, uint8_t z) {
        b[0] = x;
        b[1] = y;
        b[2] = z;
        return ds::looks_like_mbr(b);
    };
    EXPECT_TRUE(with(0x33, 0xC0, 0x8E));
    EXPECT_TRUE(with(0xEB, 0x48, 0x90));
    EXPECT_TRUE(with(0xFA, 0x33, 0xC0));
    EXPECT_FALSE(with(0x33, 0xC0, 0x8F));
    EXPECT_FALSE(with(0xEB, 0x3C, 0x90));
    EXPECT_FALSE(with(0x00, 0x00, 0x00));
    with(0xEB, 0x48, 0x90);
    b[511] = 0xAB;
    EXPECT_FALSE(ds::looks_like_mbr(b));
    b[511] = 0xAA;
    b[510] = 0x54;
    EXPECT_FALSE(ds::looks_like_mbr(b));
}

TEST(Gauge, SpreadsAreasOverZeroToHundred) {
    EXPECT_EQ(ds::gauge_value(0, 3), 0);
    EXPECT_EQ(ds::gauge_value(1, 3), 50);
    EXPECT_EQ(ds::gauge_value(2, 3), 100);
    EXPECT_EQ(ds::gauge_value(0, 1), 100);   // one area: done after it, no division by zero
    // Halves go to the even neighbour: 100/8 = 12.5, 300/8 = 37.5.
    EXPECT_EQ(ds::gauge_value(1, 9), 12);
    EXPECT_EQ(ds::gauge_value(3, 9), 38);
    EXPECT_EQ(ds::gauge_value(1, 3 + 1), 33);
    // Large counts from a damaged header neither overflow nor leave the range.
    EXPECT_EQ(ds::gauge_value(2147483646, 2147483647), 100);
    EXPECT_EQ(ds::gauge_value(1073741823, 2147483647), 50);
}

TEST(ScanEndMessage, TextsOfEveryEnd) {
    EXPECT_STREQ(ds::scan_end_message(ds::ScanEnd::finished), "finish");
    EXPECT_STREQ(ds::scan_end_message(ds::ScanEnd::descriptor_read_failed), "rinode get error");
    EXPECT_STREQ(ds::scan_end_message(ds::ScanEnd::not_open), "please view file first");
    // The two ends of our own: distinct, non-empty, and never "finish".
    std::string early = ds::scan_end_message(ds::ScanEnd::bitmap_read_failed);
    std::string cancel = ds::scan_end_message(ds::ScanEnd::cancelled);
    EXPECT_EQ(early, "bitmap entry read error, scan stopped early");
    EXPECT_EQ(cancel, "scan cancelled");
}

// The figures of the command line's progress bar and the window's status
// line: sizes (and rates) in binary units, clocks, the time left.
TEST(ProgressText, SizesClocksAndTimeLeft) {
    const std::pair<double, const char*> sizes[] = {
        {0, "0 B"},           {1023, "1023 B"},          {1024, "1.00 KiB"},
        {1536, "1.50 KiB"},   {300.0 * 1048576, "300.00 MiB"}, {511.6, "512 B"},
        {-5, "0 B"},          {1152921504606846976.0, "1.00 EiB"}};
    for (const auto& [bytes, text] : sizes) EXPECT_EQ(ds::size_text(bytes), text) << bytes;

    const std::pair<double, const char*> clocks[] = {
        {0, "0:00"},  {7.4, "0:07"},   {59.5, "1:00"},      {3723, "1:02:03"},   {359999, "99:59:59"},
        {-1, "--:--"}, {360000, "--:--"}, {std::nan(""), "--:--"}};
    for (const auto& [seconds, text] : clocks) EXPECT_EQ(ds::clock_text(seconds), text) << seconds;

    EXPECT_EQ(ds::seconds_left(50, 100, 10), 10);
    EXPECT_EQ(ds::seconds_left(100, 100, 3), 0);
    EXPECT_EQ(ds::seconds_left(150, 100, 3), 0);   // past the total: finished, not negative
    EXPECT_LT(ds::seconds_left(0, 100, 5), 0);     // no bytes yet: no pace to go by
    EXPECT_LT(ds::seconds_left(10, 100, 0), 0);
    EXPECT_EQ(ds::mb_per_second(12345678, 2), "6.2");
}

} // namespace
