#include "datastores.h"

#include "builder/bitmap_file.h"
#include "builder/block_id.h"
#include "builder/content.h"
#include "builder/datastore_builder.h"
#include "builder/records.h"
#include "builder/scenarios.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace dsbench {
namespace {

constexpr uint64_t kMiB = dsb::layout::kMiB;

// Compares a few KiB at both ends of every extent with what the builder was
// told to write, so that dd is known to copy the file's own bytes.
void check_extents(const FileCase& f, const dsb::ContentFn& content) {
    uint64_t file_offset = 0;
    for (const Extent& e : f.extents) {
        if (e.image.empty()) {   // a hole: nothing on the image to compare
            file_offset += e.length;
            continue;
        }
        std::ifstream in(e.image, std::ios::binary);
        const uint64_t probe = std::min<uint64_t>(4096, e.length);
        for (uint64_t at : {uint64_t{0}, e.length - probe}) {
            std::vector<uint8_t> got(probe);
            in.seekg(static_cast<std::streamoff>(e.image_offset + at));
            in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(probe));
            if (!in || got != dsb::materialize(content, file_offset + at, probe))
                throw std::runtime_error("bench build: extent of " + e.image + " at " + std::to_string(e.image_offset) +
                                         " does not hold the file's bytes");
        }
        file_offset += e.length;
    }
}

// Extents of a file of file blocks, each block placed by locate(); a null id
// is a hole where holes are allowed.
template <typename Locate>
std::vector<Extent> block_extents(const std::vector<uint32_t>& data_ids, uint64_t block_size, uint64_t size,
                                  Locate locate, bool holes = false) {
    std::vector<Extent> out;
    for (std::size_t i = 0; i < data_ids.size(); ++i) {
        Extent e;
        if (holes && data_ids[i] == 0) {
            e.length = std::min(block_size, size - i * block_size);
            append_extent(out, e);
            continue;
        }
        if (dsb::blk_kind(data_ids[i]) != dsb::BlockKind::File)
            throw std::runtime_error("bench build: the file has a hole or a non-file block");
        e = locate(uint64_t{dsb::fb_number(data_ids[i])} * block_size);
        e.length = std::min(block_size, size - i * block_size);
        append_extent(out, e);
    }
    return out;
}

class Stage {
public:
    explicit Stage(std::string what) : what_(std::move(what)) { std::cerr << "building " << what_ << "..." << std::endl; }
    ~Stage() {
        auto s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
        std::cerr << "  " << what_ << " built in " << static_cast<int>(s) << " s" << std::endl;
    }

private:
    std::string what_;
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};

dsb::BenchOptions bench_options(bool small) {
    dsb::BenchOptions b;
    if (small) {
        b.big_file_size = 40 * kMiB + 17;
        b.fdc_slots = 4096;
        b.old_dirs = 40;
        b.free_subblocks = 400;
        b.dir_entries = 500;
        b.deleted_files = 100;
    }
    return b;
}

Volume volume_of(const dsb::ImageSummary& s) { return Volume{s.images, s.start_sector}; }

// Old directories below the root after a reformat, laid out as on a real
// datastore: every first sub-block (reused since) lies between free ones
// all over ".sbc.sf", and the free sub-blocks that kept the directories'
// entries are not in the order of their descriptors.
dsb::BenchSummary build_spread_format(const std::string& dir, uint32_t old_dirs, uint32_t free_subblocks) {
    dsb::DatastoreOptions o;
    o.path = dir + "/format.img";
    o.volume_name = "bench-format";
    const uint64_t per_area = 256;
    o.fdc.area_count = static_cast<uint32_t>((uint64_t{old_dirs} + 64 + per_area - 1) / per_area);
    o.sbc.item_size = 65536;
    const uint64_t sub_needed = uint64_t{old_dirs} * 2 + free_subblocks + 512;
    o.sbc.area_count = static_cast<uint32_t>((sub_needed + per_area - 1) / per_area);
    o.pbc.area_count = 1;
    o.block_size = 4 * kMiB;   // ".sbc.sf" of that size needs more than 256 blocks of 1 MiB
    const uint64_t bs = o.block_size;
    const uint64_t sys_blocks = (o.fdc.file_size() + o.sbc.file_size() + o.pbc.file_size()) / bs + 16;
    o.segments = static_cast<uint32_t>(((4 + sys_blocks + 64) * bs + dsb::layout::kSegmentSize - 1) /
                                       dsb::layout::kSegmentSize);
    dsb::ImageBuilder ds(o);

    const uint32_t fillers = free_subblocks > old_dirs ? free_subblocks - old_dirs : 0;
    std::vector<uint32_t> old;
    for (uint32_t i = 0; i < old_dirs; ++i) {
        old.push_back(ds.mkdir("/old-" + std::to_string(i), dsb::Storage::SubBlocks));
        const uint32_t gap = fillers / old_dirs + (i < fillers % old_dirs ? 1 : 0);
        for (uint32_t k = 0; k < gap; ++k) ds.unused(dsb::SysFile::Sbc);
    }
    std::vector<std::vector<uint8_t>> entries;
    for (uint32_t i = 0; i < old_dirs; ++i) {
        entries.push_back(ds.directory_bytes(old[i]));
        ds.remove("/old-" + std::to_string(i));
    }
    const auto junk = dsb::encode_dirent(dsb::layout::kTypeRegular, 0x12345, 0, "reused");
    for (uint32_t id : old) {
        const uint32_t first = ds.info(id).data_ids.at(0);
        ds.set_free(first, false);
        ds.write_item(first, 0, junk);
    }
    // Copies taken in a fixed scrambled order of the directories.
    std::vector<uint32_t> order(old_dirs);
    for (uint32_t i = 0; i < old_dirs; ++i) order[i] = i;
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint32_t i = old_dirs; i > 1; --i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::swap(order[i - 1], order[state % i]);
    }
    std::vector<int32_t> copy_of(old_dirs);
    for (uint32_t i : order) {
        const uint32_t copy = ds.unused(dsb::SysFile::Sbc);
        ds.write_item(copy, 0, entries[i]);
        copy_of[i] = static_cast<int32_t>(copy);
    }
    ds.finish();

    dsb::BenchSummary sum;
    for (const dsb::MemberSpec& mem : ds.volume().members()) sum.images.push_back(mem.path);
    sum.start_sector = ds.volume().members().front().start_sector;
    for (uint32_t i = 0; i < old_dirs; ++i) sum.found.push_back({i + 1, old[i], copy_of[i], "old-" + std::to_string(i)});
    const dsb::BitmapState& sb = ds.bitmap(dsb::SysFile::Sbc);
    for (uint64_t n = 0; n < sb.usable(); ++n) sum.free_subblocks += sb.is_free(n);
    return sum;
}

void record_format(Manifest& m, const dsb::BenchSummary& s, uint32_t candidates) {
    m.format = volume_of(s);
    m.format_candidates = candidates;
    m.format_free_subblocks = s.free_subblocks;
    m.format_found = s.found.size();
    FoundDigest d;
    for (const dsb::FoundDir& f : s.found) d.add(f.number, f.dir_id, f.first_block);
    m.format_digest = d.value();
}

// A file of direct file blocks (no pointer blocks) whose first half lies at
// the end of member 0 and whose second half opens member 1.
FileCase build_two_member_file(const std::string& dir, bool small) {
    const uint64_t block_size = small ? kMiB : 8 * kMiB;
    const uint32_t blocks = small ? 128 : 256;   // 256 slots of 8 MiB: 2 GiB
    const uint32_t segments_each = small ? 1 : 5;
    const uint64_t per_segment = dsb::layout::kSegmentSize / block_size;

    dsb::DatastoreOptions o;
    o.volume_name = "bench-multi";
    o.block_size = block_size;
    o.members = {{dir + "/multi0.img", 2048, 0, segments_each - 1, {}, true},
                 {dir + "/multi1.img", 2048, segments_each, 2 * segments_each - 1, {}, true}};
    dsb::ImageBuilder ds(o);
    const uint32_t boundary = static_cast<uint32_t>(segments_each * per_segment);
    dsb::FileSpec spec = dsb::generated_file(uint64_t{blocks} * block_size, dsb::pattern_content(47),
                                             dsb::Storage::FileBlocks);
    for (uint32_t i = 0; i < blocks; ++i) spec.file_blocks.push_back(boundary - blocks / 2 + i);
    const dsb::ContentFn content = spec.content;
    const uint32_t id = ds.add_file("/multi/multi-flat.vmdk", spec);
    ds.finish();

    FileCase f;
    f.volume = Volume{{o.members[0].path, o.members[1].path}, 2048};
    f.id = id;
    f.size = uint64_t{blocks} * block_size;
    f.block_size = block_size;
    f.layout = std::to_string(block_size / kMiB) + " MiB file blocks on 2 members";
    f.extents = block_extents(ds.info(id).data_ids, block_size, f.size, [&](uint64_t lv) {
        dsb::Volume::Location at = ds.volume().locate(lv);
        return Extent{o.members.at(at.member).path, at.image_offset, 0};
    });
    check_extents(f, content);
    return f;
}

// A thin file through pointer blocks whose odd mebibytes are holes: half of
// it is read from the image, half is zeros no image holds.
FileCase build_half_holes_file(const std::string& dir, bool small) {
    const uint64_t size = small ? 40 * kMiB : 1024 * kMiB;
    dsb::DatastoreOptions o;
    o.path = dir + "/holes.img";
    o.volume_name = "bench-holes";
    o.segments = small ? 1 : 3;
    dsb::ImageBuilder ds(o);
    const dsb::ContentFn data = dsb::pattern_content(53);
    const dsb::ContentFn content = [data](uint64_t offset, std::span<uint8_t> out) {
        data(offset, out);
        for (std::size_t i = 0; i < out.size();) {
            const uint64_t at = offset + i;
            const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(out.size() - i, kMiB - at % kMiB));
            if ((at / kMiB) % 2 == 1) std::fill_n(out.begin() + static_cast<long>(i), n, 0);
            i += n;
        }
    };
    dsb::FileSpec spec = dsb::generated_file(size, content, dsb::Storage::PointerBlocks);
    spec.thin = true;
    const uint32_t id = ds.add_file("/thin/thin-flat.vmdk", spec);
    ds.finish();

    FileCase f;
    f.volume = Volume{{o.path}, o.start_sector};
    f.id = id;
    f.size = size;
    f.block_size = kMiB;
    f.layout = "1 MiB blocks through pointer blocks, every other one a hole";
    const uint64_t base = static_cast<uint64_t>(o.start_sector) * 512 + dsb::layout::kDataAreaOffset;
    f.extents = block_extents(ds.info(id).data_ids, kMiB, size, [&](uint64_t lv) { return Extent{o.path, base + lv, 0}; },
                              true);
    check_extents(f, content);
    return f;
}

} // namespace

Manifest build_datastores(const std::string& dir, const BuildOptions& options) {
    Manifest m;
    const dsb::BenchOptions b = bench_options(options.small);
    {
        Stage stage("bench datastore");
        dsb::BenchSummary s = dsb::build_bench(dir, b);
        const dsb::ObjectExpect& big = s.big_file;
        m.pointer.volume = volume_of(s);
        m.pointer.id = big.id;
        m.pointer.size = big.size;
        m.pointer.block_size = s.block_size;
        m.pointer.layout = std::to_string(s.block_size / kMiB) + " MiB blocks, " +
                           std::to_string(big.pointer_ids.size()) +
                           (big.pointer_ids.size() == 1 ? " pointer block" : " pointer blocks");
        // One member holding segments from 0: a block lies at its LV offset
        // past the partition start and the data area's offset.
        const uint64_t base = static_cast<uint64_t>(s.start_sector) * 512 + dsb::layout::kDataAreaOffset;
        m.pointer.extents = block_extents(big.data_ids, s.block_size, big.size, [&](uint64_t lv) {
            return Extent{s.images.at(0), base + lv, 0};
        });
        check_extents(m.pointer, big.content);

        m.bench = volume_of(s);
        m.fdc_slots = s.fdc_slots;
        m.deleted_files = s.deleted_files;
        m.big_dir = s.big_dir;
        m.big_dir_entries = b.dir_entries;
        record_format(m, s, b.old_dirs);
    }
    const bool own_format = (options.format_dirs != 0 && options.format_dirs != b.old_dirs) ||
                            (options.format_free != 0 && options.format_free != b.free_subblocks);
    if (options.format_spread) {
        Stage stage("format-recovery datastore, spread layout");
        const uint32_t dirs = options.format_dirs != 0 ? options.format_dirs : b.old_dirs;
        const std::string sub = dir + "/format";
        std::filesystem::create_directories(sub);
        record_format(m, build_spread_format(sub, dirs, options.format_free != 0 ? options.format_free : b.free_subblocks),
                      dirs);
    } else if (own_format) {
        Stage stage("format-recovery datastore");
        dsb::BenchOptions f = b;
        f.big_file_size = 3 * kMiB + 5;
        f.dir_entries = 16;
        if (options.format_dirs != 0) f.old_dirs = options.format_dirs;
        if (options.format_free != 0) f.free_subblocks = options.format_free;
        const std::string sub = dir + "/format";
        std::filesystem::create_directories(sub);
        record_format(m, dsb::build_bench(sub, f), f.old_dirs);
    }
    {
        Stage stage("two-member datastore");
        m.multi = build_two_member_file(dir, options.small);
    }
    {
        Stage stage("half-holes datastore");
        m.holes = build_half_holes_file(dir, options.small);
    }
    return m;
}

std::string build_lost_candidates(const std::string& dir, uint32_t count, bool boot_record) {
    Stage stage("datastore with " + std::to_string(count) + " free pointer blocks");
    dsb::DatastoreOptions o;
    o.path = dir + (boot_record ? "/lost-candidates.img" : "/lost-candidates-no-disk.img");
    o.volume_name = "bench-lost";
    o.pbc = dsb::BitmapGeometry{16, 256, 65536, 4096, 1};
    const uint64_t per_area = o.pbc.items_per_area();
    o.pbc.area_count = static_cast<uint32_t>((uint64_t{count} + 64 + per_area - 1) / per_area);
    o.block_size = 8 * kMiB;   // a system file has at most 256 blocks; 2^18 pointer blocks are 1 GiB
    const uint64_t bs = o.block_size;
    const uint64_t sys_blocks = (o.fdc.file_size() + o.sbc.file_size() + o.pbc.file_size()) / bs + 16;
    o.segments = static_cast<uint32_t>(((4 + sys_blocks + 96) * bs + dsb::layout::kSegmentSize - 1) /
                                       dsb::layout::kSegmentSize);
    dsb::ImageBuilder ds(o);
    ds.finish();

    // The lost disk: a boot record with one partition of 20 GiB in its first
    // block, 16 blocks in its first pointer block.
    std::vector<uint32_t> pool;
    for (int i = 0; i < 80; ++i) pool.push_back(ds.unused(dsb::SysFile::Fbb));
    std::vector<uint8_t> mbr(512, 0);
    mbr[0] = 0x33, mbr[1] = 0xC0, mbr[2] = 0x8E;
    const auto put32 = [](std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
    };
    mbr[0x1BE + 4] = 0x83;
    put32(mbr, 0x1BE + 8, 2048);
    put32(mbr, 0x1BE + 12, static_cast<uint32_t>(20 * 1024 * kMiB / 512 - 2048));
    mbr[510] = 0x55, mbr[511] = 0xAA;
    if (boot_record) ds.write_lv(ds.item_lv_offset(pool[0]), mbr);
    std::vector<uint8_t> ids(16 * 4);
    for (int i = 0; i < 16; ++i) put32(ids, 4 * i, pool[i]);
    ds.write_item(ds.unused(dsb::SysFile::Pbc), 0, ids);

    // The others: first and last id from the rest of the pool, so that many
    // continue one another's runs equally.
    const std::size_t per = ds.geometry(dsb::SysFile::Pbc).item_size / 4;
    std::vector<uint8_t> one(4);
    for (uint32_t k = 1; k < count; ++k) {
        const uint32_t id = ds.unused(dsb::SysFile::Pbc);
        put32(one, 0, pool[16 + k % 64]);
        ds.write_item(id, 0, one);
        put32(one, 0, pool[16 + (k + 1) % 64]);
        ds.write_item(id, 4 * (per - 1), one);
    }
    return o.path;
}

} // namespace dsbench
