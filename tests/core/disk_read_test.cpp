#include "vmfs/store.h"
#include "disk/disk_read.h"
#include "disk/memory_source.h"
#include "support/test_support.h"
#include "vmfs/datastore.h"

#include <cerrno>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace ds;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 9));
    return v;
}

class DiskRead : public ::testing::Test {
protected:
    MemorySource mem;
    Datastore store{mem};
    void SetUp() override {
        mem.disks["a"] = pattern(3 * 1048576 + 4096, 1);
        mem.disks["b"] = pattern(2 * 1048576, 2);
    }
};

TEST_F(DiskRead, ReadsAnyRangeAndAnswersRepeatsFromTheCache) {
    std::vector<uint8_t> buf(5000);
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 10, 1000, 4000), 4000);
    EXPECT_TRUE(std::equal(buf.begin() + 10, buf.begin() + 4010, mem.disks["a"].begin() + 1000));
    int before = mem.reads;
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 1000, 512), 512);
    EXPECT_EQ(mem.reads, before);   // same chunk: no device read
}

TEST_F(DiskRead, ReadsSpanningChunksAndNearTheEnd) {
    const auto& a = mem.disks["a"];
    std::vector<uint8_t> buf(2 * 1048576);
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 1048576 - 100, buf.size()), static_cast<int64_t>(buf.size()));
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), a.begin() + 1048576 - 100));
    // The last bytes of the device are readable although a full chunk from
    // their sector would run past the end.
    int64_t end = static_cast<int64_t>(a.size());
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, end - 300, 300), 300);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 300, a.end() - 300));
    EXPECT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, end - 300, 301), -1);   // one byte past the end
    EXPECT_EQ(disk_read(ds::internals(store).disk, "missing", buf.data(), 0, 0, 1), -1);
}

TEST_F(DiskRead, NeverAnswersWithAnotherDevicesBytes) {
    std::vector<uint8_t> buf(64);
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 0, 64), 64);
    ASSERT_EQ(disk_read(ds::internals(store).disk, "b", buf.data(), 0, 0, 64), 64);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), mem.disks["b"].begin()));
    // A chunk that fails to load is never served afterwards, and the cached
    // chunks of other devices keep their own bytes.
    mem.fail_from = 0;
    mem.fail_to = INT64_MAX;
    EXPECT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 2 * 1048576, 64), -1);
    ASSERT_EQ(disk_read(ds::internals(store).disk, "b", buf.data(), 0, 0, 64), 64);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), mem.disks["b"].begin()));
    EXPECT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 2 * 1048576, 64), -1);
    mem.fail_from = -1;
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 2 * 1048576, 64), 64);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), mem.disks["a"].begin() + 2 * 1048576));
}

TEST_F(DiskRead, AFailedReadKeepsWhyWithTheSystemsReasonForItsOwnThread) {
    std::vector<uint8_t> buf(kDirectReadMin);
    mem.fail_from = 1048576;
    mem.fail_to = 1048577;
    mem.fail_errno = EIO;
    struct Case {
        const char* device;
        int64_t pos, len;
        Failure want;
        bool probe = false;
    };
    const Case cases[] = {
        {"a", 1048576, 16, {Fault::device_read, EIO}},            // through the cache
        {"a", 1048000, kDirectReadMin, {Fault::device_read, EIO}},   // straight to the buffer
        {"b", 2 * 1048576 - 8, 16, {Fault::past_device, 0}},
        {"missing", 0, 16, {Fault::device_unopenable, 0}},
        {"a", 1048576 - 8, 16, {Fault::device_read, EIO}, true},   // a probe's own bytes
        {"a", 1048000, kDirectReadMin, {Fault::device_read, EIO}, true},
        {"b", 2 * 1048576 - 8, 16, {Fault::past_device, 0}, true},
        {"missing", 0, 16, {Fault::device_unopenable, 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device + std::string(" at ") + std::to_string(c.pos) + (c.probe ? ", probe" : ""));
        ds::internals(store).disk.clear_thread_failure();
        DiskReader& disk = ds::internals(store).disk;
        EXPECT_EQ(c.probe ? disk.read_probe(c.device, buf.data(), 0, c.pos, c.len)
                          : disk_read(disk, c.device, buf.data(), 0, c.pos, c.len),
                  -1);
        EXPECT_EQ(ds::internals(store).disk.thread_failure(), c.want);
    }
    // A read that works leaves the failure until it is cleared; another
    // thread sees none of it.
    ASSERT_EQ(disk_read(ds::internals(store).disk, "b", buf.data(), 0, 0, 16), 16);
    EXPECT_EQ(ds::internals(store).disk.thread_failure().fault, Fault::device_unopenable);
    Failure seen_elsewhere{Fault::damaged, 1};
    std::thread([&] { seen_elsewhere = ds::internals(store).disk.thread_failure(); }).join();
    EXPECT_EQ(seen_elsewhere, Failure{});
    ds::internals(store).disk.clear_thread_failure();
    EXPECT_EQ(ds::internals(store).disk.thread_failure(), Failure{});
}

TEST_F(DiskRead, LargeReadsBypassTheCacheAndKeepSmallOnesCached) {
    std::vector<uint8_t> small(512), big(1048576);
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", small.data(), 0, 3 * 1048576 + 100, 512), 512);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(disk_read(ds::internals(store).disk, "a", big.data(), 0, (i % 3) * 1048576 + 7, 1048576), 1048576);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), mem.disks["a"].begin() + 1048576 + 7));
    int before = mem.reads;
    ASSERT_EQ(disk_read(ds::internals(store).disk, "a", small.data(), 0, 3 * 1048576 + 100, 512), 512);
    EXPECT_EQ(mem.reads, before);
}

TEST_F(DiskRead, AProbeReadsOnlyItsBytesOrTakesThemFromACachedChunk) {
    DiskReader& disk = ds::internals(store).disk;
    const auto& a = mem.disks["a"];
    std::vector<uint8_t> buf(kProbeMax + 1);
    auto same = [&](int64_t pos, int64_t len) {
        return std::equal(buf.begin(), buf.begin() + len, a.begin() + pos);
    };
    // Not cached: the device gives the bytes asked for and nothing more,
    // and they are not kept.
    int64_t bytes = mem.bytes_read;
    int reads = mem.reads;
    ASSERT_EQ(disk.read_probe("a", buf.data(), 0, 1048576 + 300, 1024), 1024);
    EXPECT_TRUE(same(1048576 + 300, 1024));
    EXPECT_EQ(mem.bytes_read - bytes, 1024);
    ASSERT_EQ(disk.read_probe("a", buf.data(), 0, 1048576 + 300, 1024), 1024);
    EXPECT_EQ(mem.reads, reads + 2);
    // A chunk the cache holds answers a probe inside it; one that runs past
    // the chunk's end is read alone.
    ASSERT_EQ(disk_read(disk, "a", buf.data(), 0, 2 * 1048576 + 10, 16), 16);
    reads = mem.reads;
    ASSERT_EQ(disk.read_probe("a", buf.data(), 0, 2 * 1048576 + 4096, 1024), 1024);
    EXPECT_TRUE(same(2 * 1048576 + 4096, 1024));
    EXPECT_EQ(mem.reads, reads);
    bytes = mem.bytes_read;
    ASSERT_EQ(disk.read_probe("a", buf.data(), 0, 3 * 1048576 - 512, 1024), 1024);
    EXPECT_TRUE(same(3 * 1048576 - 512, 1024));
    EXPECT_EQ(mem.bytes_read - bytes, 1024);
    // Longer ones are ordinary reads, through the cache.
    bytes = mem.bytes_read;
    ASSERT_EQ(disk.read_probe("a", buf.data(), 0, 100, kProbeMax + 1), kProbeMax + 1);
    EXPECT_TRUE(same(100, kProbeMax + 1));
    EXPECT_EQ(mem.bytes_read - bytes, kChunkSize);
}

TEST_F(DiskRead, SectorReads) {
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 0, 0), 0);
    EXPECT_EQ(disk_read(ds::internals(store).disk, "a", buf.data(), 0, 3 * kSectorSize, 2 * kSectorSize), 2 * kSectorSize);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), mem.disks["a"].begin() + 1536));
    EXPECT_EQ(disk_read(ds::internals(store).disk, "b", buf.data(), 0, 4096 * kSectorSize, kSectorSize), -1);   // past the end
    EXPECT_EQ(disk_read(ds::internals(store).disk, "b", buf.data(), 0, -kSectorSize, kSectorSize), -1);
}

TEST(PosixSource, ReadsImageFilesReadOnly) {
    dstest::TempDir dir;
    std::string path = dir.file("disk.img");
    dstest::write_file(path, pattern(4096, 9));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);   // a read-only image must be readable
    Datastore store;
    std::vector<uint8_t> buf(100);
    EXPECT_EQ(ds::internals(store).disk.device_size(path), 4096);
    ASSERT_EQ(disk_read(ds::internals(store).disk, path, buf.data(), 0, 4000, 96), 96);
    EXPECT_EQ(buf[0], pattern(4096, 9)[4000]);
    // A disk that cannot be opened says why, as the system does.
    EXPECT_EQ(disk_read(ds::internals(store).disk, dir.file("gone.img"), buf.data(), 0, 0, 16), -1);
    EXPECT_EQ(ds::internals(store).disk.thread_failure(), (Failure{Fault::device_unopenable, ENOENT}));
}

} // namespace
