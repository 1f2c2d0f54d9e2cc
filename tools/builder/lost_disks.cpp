#include "lost_disks.h"

#include "le.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>

namespace dsb {

using namespace layout;
namespace fsys = std::filesystem;

namespace {

constexpr std::uint64_t kDiskSize = 300 * kMiB;
constexpr std::uint32_t kIdsPerPointerBlock = 64; // 64 MiB a pointer block: several per disk, small images
// File blocks handed out to one disk in a row: a divisor of a pointer
// block's ids, so that some pieces' runs do not continue across their ends.
constexpr std::uint64_t kChunk = 16;
constexpr std::uint64_t kBigFile = 200 * kMiB; // keeps the thin disk interleaved past its fourth piece

std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<GuestFile> guest_files(const std::string& name, std::uint64_t seed) {
    return {{"hello.txt", text("hello from " + name + "\n")},
            {"etc/hostname", text(name + "\n")},
            {"data/pattern.bin", materialize(pattern_content(seed), 0, 5 * kMiB + 777)}};
}

// mkfs.ext4 over a partition image made from files; 64 MiB groups, so that
// some positions hold a superblock backup and others do not.
std::string make_guest(const std::string& dir, const std::string& name, const std::vector<GuestFile>& files,
                       std::uint64_t bytes, const std::string& uuid) {
    const std::string mkfs = mkfs_ext4_path();
    if (mkfs.empty()) throw std::runtime_error("dsb: mkfs.ext4 (e2fsprogs) is not installed");
    const fsys::path folder = fsys::path(dir) / (name + "-files");
    fsys::remove_all(folder);
    for (const GuestFile& f : files) {
        const fsys::path p = folder / f.path;
        fsys::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));
    }
    {
        std::ofstream big(folder / "data" / "big.bin", std::ios::binary | std::ios::trunc);
        const ContentFn fill = pattern_content(bytes);
        std::vector<std::uint8_t> chunk(kMiB);
        for (std::uint64_t at = 0; at < kBigFile; at += kMiB) {
            fill(at, chunk);
            big.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        }
    }
    const std::string image = (fsys::path(dir) / (name + ".ext4")).string();
    fsys::remove(image);
    run_program({mkfs, "-q", "-F", "-t", "ext4", "-b", "4096", "-g", "16384", "-L", name, "-U", uuid, "-E",
                 "root_owner=0:0", "-d", folder.string(), image, std::to_string(bytes / 1024) + "k"});
    return image;
}

// The flat disk: MBR, then the partition image from offset on.
std::vector<std::uint8_t> disk_block(const std::vector<std::uint8_t>& mbr, std::ifstream& part, std::uint64_t at,
                                     std::uint64_t part_at, std::uint64_t bs) {
    std::vector<std::uint8_t> b(bs, 0);
    if (at == 0) std::copy(mbr.begin(), mbr.end(), b.begin());
    if (at + bs > part_at) {
        const std::uint64_t from = std::max(at, part_at);
        part.clear();
        part.seekg(static_cast<std::streamoff>(from - part_at));
        part.read(reinterpret_cast<char*>(b.data() + (from - at)), static_cast<std::streamsize>(at + bs - from));
    }
    return b;
}

bool all_zero(const std::vector<std::uint8_t>& b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

struct Planned {
    LostVmDisk disk;
    std::function<std::vector<std::uint8_t>(std::uint64_t index)> block; // the bytes of file block index
    std::vector<bool> zero;                                              // per file block
};

Planned plan_ext4_disk(const std::string& dir, const std::string& name, std::uint64_t seed, bool thin,
                       const std::string& uuid, std::uint64_t bs) {
    Planned p;
    p.disk.size = kDiskSize;
    p.disk.thin = thin;
    p.disk.partition_offset = kMiB;
    p.disk.guest_files = guest_files(name, seed);
    const std::uint64_t part_bytes = kDiskSize - kMiB;
    const std::string image = make_guest(dir, name, p.disk.guest_files, part_bytes, uuid);
    const std::vector<std::uint8_t> mbr =
        make_mbr({0x33, 0xC0, 0x8E}, {{0x83, 2048, static_cast<std::uint32_t>(part_bytes / kSectorSize), true}});
    auto part = std::make_shared<std::ifstream>(image, std::ios::binary);
    if (!*part) throw std::runtime_error("dsb: cannot read " + image);
    p.block = [part, mbr, bs](std::uint64_t i) { return disk_block(mbr, *part, i * bs, kMiB, bs); };
    for (std::uint64_t i = 0; i * bs < kDiskSize; ++i) p.zero.push_back(all_zero(p.block(i)));
    return p;
}

void write_original(const Planned& p, const std::string& path, std::uint64_t bs) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("dsb: cannot create " + path);
    for (std::size_t i = 0; i < p.zero.size(); ++i) {
        if (p.zero[i]) continue;
        const std::vector<std::uint8_t> b = p.block(i);
        if (::pwrite(fd, b.data(), b.size(), static_cast<off_t>(i * bs)) != static_cast<ssize_t>(bs))
            throw std::runtime_error("dsb: cannot write " + path);
    }
    if (::ftruncate(fd, static_cast<off_t>(p.disk.size)) != 0) throw std::runtime_error("dsb: cannot size " + path);
    ::close(fd);
}

} // namespace

LostVmSummary build_lost_vms(const std::string& dir) {
    DatastoreOptions o;
    o.path = dir + "/lost.img";
    o.segments = 4;
    o.volume_name = "lost-vms";
    o.pbc.item_size = 4 * kIdsPerPointerBlock;
    ImageBuilder ds(o);
    const std::uint64_t bs = ds.block_size();

    LostVmSummary sum;
    sum.piece_bytes = kIdsPerPointerBlock * bs;
    // The live disk comes first, its blocks and pointer blocks allocated.
    FileSpec live = generated_file(
        2 * sum.piece_bytes + 5 * kMiB,
        overlay_content(pattern_content(71), {{0, make_mbr({0x33, 0xC0, 0x8E}, {{0x07, 2048, 200000, true}})}}),
        Storage::PointerBlocks);
    sum.live_disk = ds.add_file("/live/live-flat.vmdk", live);

    std::vector<Planned> planned;
    planned.push_back(plan_ext4_disk(dir, "lostA", 81, false, "6c6f7374-4141-4141-4141-414141414141", bs));
    planned.push_back(plan_ext4_disk(dir, "lostB", 82, true, "6c6f7374-4242-4242-4242-424242424242", bs));
    {
        // A disk without a file system: its second piece is lost to a live file.
        Planned c;
        c.disk.size = sum.piece_bytes + 36 * bs;
        c.disk.partition_offset = kMiB;
        const std::vector<std::uint8_t> mbr = make_mbr(
            {0xFA, 0x33, 0xC0}, {{0x0C, 2048, static_cast<std::uint32_t>((c.disk.size - kMiB) / kSectorSize), true}});
        c.block = [mbr, bs](std::uint64_t i) {
            std::vector<std::uint8_t> b = materialize(pattern_content(90 + i), 0, bs);
            if (i == 0) std::copy(mbr.begin(), mbr.end(), b.begin());
            return b;
        };
        c.zero.assign(c.disk.size / bs, false);
        planned.push_back(std::move(c));
    }

    // File blocks: A and B take turns in runs of kChunk, C's follow.
    std::vector<std::vector<std::uint32_t>> ids(planned.size());
    std::vector<std::size_t> next(planned.size(), 0);
    auto wants = [&](std::size_t d) {
        // The next block of disk d that gets storage (thin: only written ones).
        while (next[d] < planned[d].zero.size() && planned[d].disk.thin && planned[d].zero[next[d]]) {
            ids[d].push_back(0);
            ++next[d];
        }
        return next[d] < planned[d].zero.size();
    };
    for (bool more = true; more;) {
        more = false;
        for (std::size_t d = 0; d < 2; ++d)
            for (std::uint64_t k = 0; k < kChunk && wants(d); ++k, ++next[d]) {
                ids[d].push_back(ds.unused(SysFile::Fbb));
                more = true;
            }
    }
    for (; next[2] < planned[2].zero.size(); ++next[2]) ids[2].push_back(ds.unused(SysFile::Fbb));
    for (std::size_t d = 0; d < planned.size(); ++d)
        for (std::size_t i = 0; i < ids[d].size(); ++i) {
            if (ids[d][i] != 0 && !planned[d].zero[i]) ds.write_item(ids[d][i], 0, planned[d].block(i));
            if (ids[d][i] != 0) planned[d].disk.file_blocks.push_back(ids[d][i]);
        }

    // Pointer blocks: A's and B's alternate in .pbc.sf; a thin disk has none
    // for a piece it never wrote.
    std::vector<std::size_t> pieces;
    for (const Planned& p : planned) pieces.push_back((p.disk.size + sum.piece_bytes - 1) / sum.piece_bytes);
    auto put_pointer = [&](std::size_t d, std::size_t s) {
        std::vector<std::uint8_t> item(4 * kIdsPerPointerBlock, 0);
        bool any = false;
        for (std::size_t r = 0; r < kIdsPerPointerBlock; ++r) {
            const std::size_t i = s * kIdsPerPointerBlock + r;
            if (i >= ids[d].size()) break;
            put_le<std::uint32_t>(item, 4 * r, ids[d][i]);
            any = any || ids[d][i] != 0;
        }
        std::uint32_t pb = 0;
        if (any) {
            pb = ds.unused(SysFile::Pbc);
            ds.write_item(pb, 0, item);
        }
        planned[d].disk.pointer_blocks.push_back(pb);
    };
    for (std::size_t s = 0; s < std::max(pieces[0], pieces[1]); ++s)
        for (std::size_t d = 0; d < 2; ++d)
            if (s < pieces[d]) put_pointer(d, s);
    for (std::size_t s = 0; s < pieces[2]; ++s) put_pointer(2, s);

    // A live file takes over the blocks of C's second piece.
    FileSpec reuse = generated_file(36 * bs, pattern_content(99), Storage::FileBlocks);
    for (std::size_t i = kIdsPerPointerBlock; i < ids[2].size(); ++i) reuse.file_blocks.push_back(ids[2][i] >> 6);
    sum.reusing_file = ds.add_file("/live/reused.bin", reuse);
    planned[2].disk.lost_positions = {1};
    ds.finish();

    static_cast<ImageSummary&>(sum) = [&] {
        ImageSummary s;
        for (const MemberSpec& m : ds.volume().members()) s.images.push_back(m.path);
        s.start_sector = ds.volume().members().front().start_sector;
        for (const MemberSpec& m : ds.volume().members()) s.start_sectors.push_back(m.start_sector);
        s.block_size = bs;
        return s;
    }();
    for (std::size_t d = 0; d < planned.size(); ++d) {
        planned[d].disk.original = dir + "/lost" + std::string(1, static_cast<char>('A' + d)) + "-flat.raw";
        write_original(planned[d], planned[d].disk.original, bs);
        sum.disks.push_back(std::move(planned[d].disk));
    }
    for (std::uint32_t id : {ds.root(), ds.lookup("/live"), sum.live_disk, sum.reusing_file}) {
        ObjectExpect e = expect(ds, id);
        sum.ids[e.path] = id;
        sum.objects.push_back(std::move(e));
    }
    return sum;
}

} // namespace dsb
