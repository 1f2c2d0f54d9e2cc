// Reading around bad sectors: the reader narrows a failed read down to the
// sectors that fail, and a file's read says exactly which bytes it lost.

#include "disk/disk_read.h"
#include "disk/memory_source.h"
#include "support/open_images.h"
#include "support/test_support.h"
#include "vmfs/store.h"

#include <fstream>
#include <map>
#include <mutex>

namespace {

using namespace ds;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + (i >> 9) + 1);
    return v;
}

// Fails every read that touches a sector of `flaky`, except that a read of
// that sector alone succeeds once it has failed `failures` times: a weak
// sector that a rescue tool may win back by trying again.
class FlakySource final : public SectorSource {
public:
    MemorySource mem;
    std::vector<int64_t> flaky;   // sector numbers
    int failures = 0;
    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        std::lock_guard lock(mutex_);
        for (int64_t s : flaky)
            if (off < (s + 1) * 512 && off + len > s * 512 && (len > 512 || tried_[s]++ < failures)) return false;
        return mem.read(device, off, len, buf);
    }
    int64_t size(const std::string& device) override { return mem.size(device); }

private:
    std::mutex mutex_;
    std::map<int64_t, int> tried_;
};

class BadSectors : public ::testing::Test {
protected:
    MemorySource mem;
    DiskReader disk{mem};
    std::vector<uint8_t> bytes = pattern(4 * 1048576);
    void SetUp() override { mem.disks["d"] = bytes; }
};

TEST_F(BadSectors, AHealthyReadCostsOneReadAndReportsNothing) {
    std::vector<uint8_t> out(2 * 1048576);
    std::vector<ByteSpan> bad;
    ASSERT_EQ(disk.read_salvage("d", out.data(), 4096, out.size(), bad), static_cast<int64_t>(out.size()));
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(mem.reads, 1);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 4096));
}

TEST_F(BadSectors, EveryReadableSectorAroundBadOnesIsReadAndTheRestIsZerosAndNamed) {
    // One sector, then three in a row across a 4 KiB edge, in a read that
    // starts and ends in the middle of sectors.
    mem.bad = {{1048576 + 512 * 7, 512}, {1048576 + 8192 - 1024, 1536}};
    const int64_t pos = 1048576 - 100;
    std::vector<uint8_t> out(1048576 + 300, 0xAA);
    std::vector<ByteSpan> bad;
    ASSERT_EQ(disk.read_salvage("d", out.data(), pos, out.size(), bad), static_cast<int64_t>(out.size()));
    const std::vector<ByteSpan> want = {{100 + 512 * 7, 512}, {100 + 8192 - 1024, 1536}};
    EXPECT_EQ(bad, want);
    for (size_t i = 0; i < out.size(); ++i) {
        const bool lost = std::any_of(want.begin(), want.end(), [&](const ByteSpan& r) {
            return int64_t(i) >= r.offset && int64_t(i) < r.end();
        });
        ASSERT_EQ(out[i], lost ? 0 : bytes[pos + i]) << i;
    }
    // A few dozen reads, not one per sector.
    EXPECT_LT(mem.reads, 80);
}

TEST_F(BadSectors, AWhollyUnreadableMebibyteCostsAFewThousandReads) {
    mem.bad = {{1048576, 1048576}};
    std::vector<uint8_t> out(1048576);
    std::vector<ByteSpan> bad;
    ASSERT_EQ(disk.read_salvage("d", out.data(), 1048576, out.size(), bad), 1048576);
    EXPECT_EQ(bad, (std::vector<ByteSpan>{{0, 1048576}}));
    EXPECT_LT(mem.reads, 3000);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(BadSectors, RetriesReadAgainOnlyWhatFailedAndMayWinItBack) {
    for (int retries : {0, 1, 2, 3}) {
        FlakySource flaky;
        flaky.mem.disks["d"] = bytes;
        flaky.flaky = {100, 300};
        flaky.failures = 3;   // its first read alone and two more fail
        DiskReader reader{flaky};
        reader.set_retries(retries);
        std::vector<uint8_t> out(1048576);
        std::vector<ByteSpan> bad;
        ASSERT_EQ(reader.read_salvage("d", out.data(), 0, out.size(), bad), 1048576);
        if (retries < 3) {
            // The sector's first read at the narrowest split, then its
            // retries, all failed.
            EXPECT_EQ(bad, (std::vector<ByteSpan>{{100 * 512, 512}, {300 * 512, 512}})) << retries;
        } else {
            EXPECT_TRUE(bad.empty());
            EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin()));
        }
    }
}

TEST_F(BadSectors, ASmallReadBesideABadSectorInItsChunkStillSucceeds) {
    mem.bad = {{1048576 + 512 * 10, 512}};
    std::vector<uint8_t> out(512);
    ASSERT_EQ(disk.read("d", out.data(), 0, 1048576 + 512 * 11, 512), 512);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 1048576 + 512 * 11));
    // The bad sector itself still fails, and says so.
    EXPECT_EQ(disk.read("d", out.data(), 0, 1048576 + 512 * 10 + 8, 16), -1);
    EXPECT_EQ(disk.thread_failure().fault, Fault::device_read);
    // Salvage gives nothing for a range that leaves the device.
    std::vector<ByteSpan> bad;
    EXPECT_EQ(disk.read_salvage("d", out.data(), int64_t(bytes.size()) - 100, 512, bad), -1);
    EXPECT_TRUE(bad.empty());
}

// A file read through the face: the unreadable bytes in file coordinates.
TEST(BadSectorFile, ReadRunNamesTheLostBytesInFileCoordinates) {
    dstest::TempDir dir;
    const dsb::DemoSummary demo = dsb::build_demo(dir.path().string());
    ASSERT_EQ(demo.images.size(), 1u);
    std::ifstream in(demo.images[0], std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    MemorySource mem;
    mem.disks[demo.images[0]] = image;
    Datastore store{mem};
    ASSERT_TRUE(dstest::open_images(store, demo).message.empty());
    File file;
    ASSERT_TRUE(store.open_file({demo.ids.at("/vm1/vm1.log"), -1}, file));
    ASSERT_EQ(file.size(), 3 * 1048576 + 5);
    DevicePlace where;
    const int64_t bad_at = 1048576 + 512 * 1000;   // a sector in the file's second block
    ASSERT_TRUE(store.place(file, bad_at, 512, where));
    mem.bad = {{where.offset, 512}};

    std::vector<uint8_t> got(file.size());
    std::vector<ByteSpan> lost;
    for (int64_t p = 0; p < file.size();) {
        int64_t n = 0;
        bool hole = false;
        ASSERT_TRUE(store.read_run(file, got.data() + p, file.size() - p, p, n, hole, lost));
        ASSERT_GT(n, 0);
        ASSERT_FALSE(hole);
        p += n;
    }
    EXPECT_EQ(lost, (std::vector<ByteSpan>{{bad_at, 512}}));
    const auto object = std::find_if(demo.objects.begin(), demo.objects.end(),
                                     [](const dsb::ObjectExpect& o) { return o.path == "/vm1/vm1.log"; });
    ASSERT_NE(object, demo.objects.end());
    std::vector<uint8_t> want = dstest::expected_bytes(*object);
    std::fill(want.begin() + bad_at, want.begin() + bad_at + 512, 0);
    EXPECT_TRUE(got == want);

    // Without salvage the read of that block fails, as before.
    int64_t n = 0;
    bool hole = false;
    Status st = store.read_run(file, got.data(), 1048576, 1048576, n, hole);
    EXPECT_FALSE(st);
    EXPECT_EQ(st.failure.fault, Fault::device_read);
}

} // namespace
