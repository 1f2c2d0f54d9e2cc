#pragma once
// Opening builder images for the recovery tests, and the byte positions of
// on-disk fields that the tests damage.

#include "builder/datastore_builder.h"
#include "disk/sector_source.h"
#include "support/test_support.h"
#include "vmfs/fs.h"
#include "vmfs/volume.h"
#include "text/messages.h"

#include "export/file_export.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace rectest {

// The image files, with every read that reaches them kept (device, offset,
// length) in order: what a scan costs the disk.
class CountingSource final : public ds::SectorSource {
public:
    struct Read {
        std::string device;
        int64_t off = 0, len = 0;
    };
    std::vector<Read> reads;

    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override {
        reads.push_back({device, off, len});
        return posix_->read(device, off, len, buf);
    }
    int64_t size(const std::string& device) override { return posix_->size(device); }
    void close_all() override { posix_->close_all(); }

    int64_t bytes() const {
        int64_t n = 0;
        for (const Read& r : reads) n += r.len;
        return n;
    }

private:
    std::unique_ptr<ds::SectorSource> posix_ = ds::make_posix_source();
};

// Adds every member of the datastore in segment order and opens it; the
// opening must go through without a message.
inline ::testing::AssertionResult open_datastore(ds::Datastore& store, const dsb::ImageBuilder& ds) {
    for (const dsb::MemberSpec& m : ds.volume().members()) {
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        if (ds::add_disk(store, m.path, m.start_sector, &why) != 0)
            return ::testing::AssertionFailure() << "disk refused: " << ds::add_disk_message(why);
    }
    ds::OpenOutcome open = ds::fs_open(store);
    if (open.failure != ds::OpenFailure::none) return ::testing::AssertionFailure() << "open: " << ds::open_message(open.failure);
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult open_images(ds::Datastore& store, const std::vector<std::string>& images, int64_t start_sector) {
    for (const std::string& image : images)
        if (ds::add_disk(store, image, start_sector) != 0) return ::testing::AssertionFailure() << "disk refused: " << image;
    ds::OpenOutcome open = ds::fs_open(store);
    if (open.failure != ds::OpenFailure::none) return ::testing::AssertionFailure() << "open: " << ds::open_message(open.failure);
    return ::testing::AssertionSuccess();
}

// Logical-volume offset of byte `offset` of a bitmap system file (they are
// stored in consecutive file blocks).
inline uint64_t sys_file_lv(const dsb::ImageBuilder& ds, dsb::SysFile f, uint64_t offset) {
    return uint64_t{ds.system_file_first_block(f)} * ds.block_size() + offset;
}

inline void put32(dsb::ImageBuilder& ds, uint64_t lv, uint32_t v) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    ds.write_lv(lv, b);
}

inline void put64(dsb::ImageBuilder& ds, uint64_t lv, uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    ds.write_lv(lv, b);
}

// The header field of a bitmap system file at byte `field` (24: area count).
inline void put_header_field(dsb::ImageBuilder& ds, dsb::SysFile f, uint32_t field, uint32_t v) {
    put32(ds, sys_file_lv(ds, f, field), v);
}

// A regular file's descriptor written into a free slot, as a deleted file
// leaves it.
inline dsb::DescriptorFields deleted_file(uint32_t slot, uint32_t addr_mode, uint32_t t0 = 1234567890) {
    dsb::DescriptorFields d;
    d.id = slot;
    d.type = dsb::layout::kTypeRegular;
    d.size = 4096;
    d.block_size = 1 << 20;
    d.addr_mode = addr_mode;
    d.create_time = t0;
    d.update_time = t0 + 1;
    d.atime = t0 + 2;
    return d;
}

// The lost-disk scan, finished, then every row's disk rebuilt from the
// candidates it gathered.
struct LostDisks {
    std::vector<ds::PartitionRow> rows;
    std::vector<ds::PointerBlockCandidate> candidates;
    std::vector<ds::RebuiltDisk> rebuild(const ds::Datastore& store) {
        ds::ScanResult<ds::PartitionRow> r = store.scan_lost_disks({}, {}, candidates);
        EXPECT_EQ(r.end, ds::ScanEnd::finished);
        rows = r.rows;
        return store.rebuild_lost_disks(rows, candidates);
    }
};

// Whether two host files hold the same bytes.
inline bool same_file(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1 << 20), q(1 << 20);
    for (;;) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
        if (x.gcount() == 0) return true;
    }
}

// A rebuilt disk written whole to path.
inline std::string export_rebuilt(const ds::Datastore& store, const ds::RebuiltDisk& d, const std::string& path) {
    std::filesystem::remove(path);
    ds::ExportResult res = ds::file_export(store, store.rebuilt_disk_file(d), path);
    EXPECT_EQ(res.failure, ds::ExportFailure::none);
    EXPECT_EQ(res.bytes_written, d.length);
    return path;
}

} // namespace rectest
