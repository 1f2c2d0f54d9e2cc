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

// The guest's files in a host folder, with a large file of pattern bytes.
void write_guest_folder(const fsys::path& folder, const std::vector<GuestFile>& files, std::uint64_t seed) {
    fsys::remove_all(folder);
    for (const GuestFile& f : files) {
        const fsys::path p = folder / f.path;
        fsys::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));
    }
    std::ofstream big(folder / "data" / "big.bin", std::ios::binary | std::ios::trunc);
    const ContentFn fill = pattern_content(seed);
    std::vector<std::uint8_t> chunk(kMiB);
    for (std::uint64_t at = 0; at < kBigFile; at += kMiB) {
        fill(at, chunk);
        big.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
}

// mkfs.ext4 over a partition image made from files; 64 MiB groups, so that
// some positions hold a superblock backup and others do not.
std::string make_guest(const std::string& dir, const std::string& name, const std::vector<GuestFile>& files,
                       std::uint64_t bytes, const std::string& uuid) {
    const std::string mkfs = mkfs_ext4_path();
    if (mkfs.empty()) throw std::runtime_error("dsb: mkfs.ext4 (e2fsprogs) is not installed");
    const fsys::path folder = fsys::path(dir) / (name + "-files");
    write_guest_folder(folder, files, bytes);
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

// File blocks: the first `together` disks take turns in runs of kChunk (a
// thin disk only for blocks it wrote); the others' follow in order.
std::vector<std::vector<std::uint32_t>> hand_out_blocks(ImageBuilder& ds, std::vector<Planned>& planned,
                                                        std::size_t together) {
    std::vector<std::vector<std::uint32_t>> ids(planned.size());
    std::vector<std::size_t> next(planned.size(), 0);
    auto wants = [&](std::size_t d) {
        while (next[d] < planned[d].zero.size() && planned[d].disk.thin && planned[d].zero[next[d]]) {
            ids[d].push_back(0);
            ++next[d];
        }
        return next[d] < planned[d].zero.size();
    };
    for (bool more = true; more;) {
        more = false;
        for (std::size_t d = 0; d < together; ++d)
            for (std::uint64_t k = 0; k < kChunk && wants(d); ++k, ++next[d]) {
                ids[d].push_back(ds.unused(SysFile::Fbb));
                more = true;
            }
    }
    for (std::size_t d = together; d < planned.size(); ++d)
        for (; wants(d); ++next[d]) ids[d].push_back(ds.unused(SysFile::Fbb));
    for (std::size_t d = 0; d < planned.size(); ++d)
        for (std::size_t i = 0; i < ids[d].size(); ++i) {
            if (ids[d][i] != 0 && !planned[d].zero[i]) ds.write_item(ids[d][i], 0, planned[d].block(i));
            if (ids[d][i] != 0) planned[d].disk.file_blocks.push_back(ids[d][i]);
        }
    return ids;
}

// Pointer blocks: the first `together` disks' alternate in .pbc.sf; a thin
// disk has none for a piece it never wrote.
void put_pointer_blocks(ImageBuilder& ds, std::vector<Planned>& planned,
                        const std::vector<std::vector<std::uint32_t>>& ids, std::size_t together,
                        std::uint64_t piece_bytes, std::size_t per = kIdsPerPointerBlock) {
    std::vector<std::size_t> pieces;
    for (const Planned& p : planned) pieces.push_back((p.disk.size + piece_bytes - 1) / piece_bytes);
    auto put_pointer = [&](std::size_t d, std::size_t s) {
        std::vector<std::uint8_t> item(4 * per, 0);
        bool any = false;
        for (std::size_t r = 0; r < per; ++r) {
            const std::size_t i = s * per + r;
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
    const std::size_t most = *std::max_element(pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(together));
    for (std::size_t s = 0; s < most; ++s)
        for (std::size_t d = 0; d < together; ++d)
            if (s < pieces[d]) put_pointer(d, s);
    for (std::size_t d = together; d < planned.size(); ++d)
        for (std::size_t s = 0; s < pieces[d]; ++s) put_pointer(d, s);
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

    std::vector<std::vector<std::uint32_t>> ids = hand_out_blocks(ds, planned, 2);
    put_pointer_blocks(ds, planned, ids, 2, sum.piece_bytes);

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

namespace dsb {

namespace {

// The guests case stores its disks as a real datastore does: 1024 ids a
// pointer block, 1 GiB at 1 MiB blocks, so that each disk needs three.
constexpr std::size_t kRealIds = 1024;
constexpr std::uint64_t kGuestDisk = 2304 * kMiB;
constexpr std::uint64_t kGroupBytes = 128 * kMiB;   // ext4's usual group at 4 KiB blocks

std::string find_tool(const std::string& name) {
    for (const char* d : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (::access((d + name).c_str(), X_OK) == 0) return d + name;
    return {};
}

std::string need_tool(const std::string& name, const std::string& package) {
    const std::string path = find_tool(name);
    if (path.empty()) throw std::runtime_error("dsb: " + name + " (" + package + ") is not installed");
    return path;
}

// A disk planned from its flat file as it stands (the original kept on the host).
Planned plan_flat(const std::string& path, bool thin, std::uint64_t bs) {
    Planned p;
    p.disk.original = path;
    p.disk.size = fsys::file_size(path);
    p.disk.thin = thin;
    p.disk.partition_offset = kMiB;
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (!*in) throw std::runtime_error("dsb: cannot read " + path);
    p.block = [in, bs](std::uint64_t i) {
        std::vector<std::uint8_t> b(bs, 0);
        in->clear();
        in->seekg(static_cast<std::streamoff>(i * bs));
        in->read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(bs));
        return b;
    };
    // Holes of the sparse file are zero without reading them.
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("dsb: cannot read " + path);
    for (std::uint64_t i = 0; i * bs < p.disk.size; ++i) {
        const off_t data = ::lseek(fd, static_cast<off_t>(i * bs), SEEK_DATA);
        p.zero.push_back(data < 0 || static_cast<std::uint64_t>(data) >= (i + 1) * bs || all_zero(p.block(i)));
    }
    ::close(fd);
    return p;
}

// GPT made by sgdisk, one Linux partition from 1 MiB to the last usable
// sector, ext4 over it made in place from a folder of files.
std::string make_gpt_ext4_disk(const std::string& dir, const std::string& name, std::vector<GuestFile>& files,
                               std::uint64_t size) {
    const std::string sgdisk = need_tool("sgdisk", "gdisk"), mkfs = mkfs_ext4_path();
    if (mkfs.empty()) throw std::runtime_error("dsb: mkfs.ext4 (e2fsprogs) is not installed");
    const std::string disk = (fsys::path(dir) / (name + "-flat.raw")).string();
    fsys::remove(disk);
    std::ofstream(disk).close();
    fsys::resize_file(disk, size);
    const std::uint64_t last_usable = size / kSectorSize - 34;
    const std::uint64_t part_bytes = (last_usable - 2048 + 1) * kSectorSize;
    const fsys::path folder = fsys::path(dir) / (name + "-files");
    write_guest_folder(folder, files, 83);
    run_program({mkfs, "-q", "-F", "-t", "ext4", "-b", "4096", "-g", std::to_string(kGroupBytes / 4096), "-L", name, "-U",
                 "6c6f7374-4747-4747-4747-474747474747", "-E", "root_owner=0:0,offset=" + std::to_string(kMiB), "-d",
                 folder.string(), disk, std::to_string(part_bytes / 4096 * 4) + "k"});
    {
        // Group 9's superblock backup overwritten: its position is pinned
        // only by the copy of the descriptor table that follows it.
        std::fstream f(disk, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(kMiB + 9 * kGroupBytes));
        const std::vector<char> junk(1024, '\x5A');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        if (!f) throw std::runtime_error("dsb: cannot write " + disk);
    }
    // The table after the file system: mke2fs clears the disk's first sectors.
    run_program({sgdisk, "-U", "6c6f7374-4747-4747-4747-475054475054", "-n", "1:2048:0", "-t", "1:8300",
                 "-u", "1:6c6f7374-4747-4747-4747-504152543031", disk});
    {
        // Boot code in the protective MBR, as an installer leaves it: the
        // scan knows a disk's first block by it (sgdisk writes none).
        std::fstream f(disk, std::ios::binary | std::ios::in | std::ios::out);
        const char code[3] = {'\x33', '\xC0', '\x8E'};
        f.write(code, 3);
        if (!f) throw std::runtime_error("dsb: cannot write " + disk);
    }
    return disk;
}

// An MBR with one NTFS partition, made by mkntfs with files copied in by ntfscp.
std::string make_ntfs_disk(const std::string& dir, const std::string& name, std::vector<GuestFile>& files,
                           std::uint64_t size) {
    const std::string mkntfs = need_tool("mkntfs", "ntfs-3g"), ntfscp = need_tool("ntfscp", "ntfs-3g");
    const std::uint64_t part_bytes = size - kMiB;
    const std::string part = (fsys::path(dir) / (name + ".ntfs")).string();
    fsys::remove(part);
    std::ofstream(part).close();
    fsys::resize_file(part, part_bytes);
    run_program({mkntfs, "-q", "-F", "-Q", "-s", "512", "-c", "4096", "-p", "2048", "-H", "255", "-S", "63", "-L", name, part});
    const fsys::path folder = fsys::path(dir) / (name + "-files");
    write_guest_folder(folder, files, 84);
    files.push_back({"data/big.bin", {}});
    for (const GuestFile& f : files) {
        const std::string flat = fsys::path(f.path).filename().string();   // ntfscp makes no folders
        run_program({ntfscp, "-q", "-f", part, (folder / f.path).string(), "/" + flat});
    }
    files.pop_back();
    const std::string disk = (fsys::path(dir) / (name + "-flat.raw")).string();
    const int fd = ::open(disk.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("dsb: cannot create " + disk);
    const std::vector<std::uint8_t> mbr =
        make_mbr({0x33, 0xC0, 0x8E}, {{0x07, 2048, static_cast<std::uint32_t>(part_bytes / kSectorSize), true}});
    bool ok = ::pwrite(fd, mbr.data(), mbr.size(), 0) == static_cast<ssize_t>(mbr.size());
    std::ifstream in(part, std::ios::binary);
    std::vector<std::uint8_t> chunk(kMiB);
    for (std::uint64_t at = 0; ok && at < part_bytes; at += kMiB) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(kMiB));
        if (!all_zero(chunk))
            ok = ::pwrite(fd, chunk.data(), kMiB, static_cast<off_t>(kMiB + at)) == static_cast<ssize_t>(kMiB);
    }
    ok = ok && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    ::close(fd);
    if (!ok) throw std::runtime_error("dsb: cannot write " + disk);
    return disk;
}

} // namespace

LostVmSummary build_lost_guests(const std::string& dir) {
    DatastoreOptions o;
    o.path = dir + "/guests.img";
    o.segments = static_cast<std::uint32_t>((2 * kGuestDisk + 1100 * kMiB) / kSegmentSize + 1);
    o.volume_name = "lost-guests";
    o.pbc.item_size = 4 * kRealIds;
    ImageBuilder ds(o);
    const std::uint64_t bs = ds.block_size();

    LostVmSummary sum;
    sum.piece_bytes = kRealIds * bs;
    // A live thin disk: written at its start and past its first pointer block.
    FileSpec live = generated_file(
        sum.piece_bytes + 5 * kMiB,
        overlay_content(zero_content(), {{0, make_mbr({0x33, 0xC0, 0x8E}, {{0x07, 2048, 200000, true}})},
                                         {kMiB, materialize(pattern_content(72), 0, 4 * kMiB)},
                                         {sum.piece_bytes, materialize(pattern_content(73), 0, 4 * kMiB)}}),
        Storage::PointerBlocks);
    sum.live_disk = ds.add_file("/live/live-flat.vmdk", live);

    std::vector<GuestFile> gpt_files = guest_files("lostG", 85), ntfs_files = guest_files("lostN", 86);
    std::vector<Planned> planned;
    planned.push_back(plan_flat(make_gpt_ext4_disk(dir, "lostG", gpt_files, kGuestDisk), false, bs));
    planned.push_back(plan_flat(make_ntfs_disk(dir, "lostN", ntfs_files, kGuestDisk), true, bs));
    planned[0].disk.guest_files = gpt_files;
    planned[1].disk.guest_files = ntfs_files;
    const std::vector<std::vector<std::uint32_t>> ids = hand_out_blocks(ds, planned, 2);
    put_pointer_blocks(ds, planned, ids, 2, sum.piece_bytes, kRealIds);
    ds.finish();

    for (const MemberSpec& m : ds.volume().members()) {
        sum.images.push_back(m.path);
        sum.start_sectors.push_back(m.start_sector);
    }
    sum.start_sector = ds.volume().members().front().start_sector;
    sum.block_size = bs;
    for (Planned& p : planned) sum.disks.push_back(std::move(p.disk));
    for (std::uint32_t id : {ds.root(), ds.lookup("/live"), sum.live_disk}) {
        ObjectExpect e = expect(ds, id);
        sum.ids[e.path] = id;
        sum.objects.push_back(std::move(e));
    }
    return sum;
}

} // namespace dsb
