#include "huge_datastore.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "virtual_machine.h"

namespace dsb {

using namespace layout;

namespace {

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

std::string numbered(const char* format, std::uint64_t n) {
    char b[32];
    std::snprintf(b, sizeof b, format, static_cast<unsigned long long>(n));
    return b;
}

// Descriptors: 256 to an entry, 64 entries (16384 slots, 32 MiB) to an area.
// At 8 MiB blocks the 256 blocks a system file may have hold 63 areas.
constexpr std::uint32_t kFdcPerEntry = 256, kFdcEntriesPerArea = 64;
// Sub-blocks of 64 KiB, 256 to an area; pointer blocks of 4 KiB, 4096 to an area.
constexpr std::uint32_t kSbcPerEntry = 16, kSbcEntriesPerArea = 16;
constexpr std::uint32_t kPbcPerEntry = 16, kPbcEntriesPerArea = 256;

bool is_spread(const HugeOptions& o, std::uint64_t k) { return k % o.spread_every == 0; }
bool is_subblock(const HugeOptions& o, std::uint64_t k) {
    return !is_spread(o, k) && k % o.subblock_every == o.subblock_every / 5;
}

// A thin disk whose every n-th block holds data in its first MiB; the rest
// reads as zeros and gets no block.
ContentFn sparse_disk_content(std::uint64_t seed, std::uint64_t block_size, std::uint32_t every) {
    ContentFn pattern = pattern_content(seed);
    return [=](std::uint64_t offset, std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        std::uint64_t at = 0;
        while (at < out.size()) {
            const std::uint64_t pos = offset + at;
            const std::uint64_t block = pos / block_size, within = pos % block_size;
            const std::uint64_t to_edge = std::min<std::uint64_t>(block_size - within, out.size() - at);
            if (block % every == 0 && within < kMiB) {
                const std::uint64_t n = std::min<std::uint64_t>(kMiB - within, to_edge);
                pattern(pos, out.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(n)));
            }
            at += to_edge;
        }
    };
}

} // namespace

HugeOptions huge_options(std::uint64_t files) {
    HugeOptions o;
    o.files = files;
    if (files >= 1000000) return o;
    o.segments_per_member = 2;
    o.spread_every = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(files / (2 * o.members), 1, 1000));
    o.vms = 2;
    o.vm_disk_size = 128 * kMiB;
    o.vm_data_every = 4;
    o.pointer_blocks = 4096;
    o.deleted = 5;
    return o;
}

std::string huge_wide_path() { return "/wide"; }
std::string huge_folder_path(std::uint64_t folder) { return numbered("/data/d%04llu", folder); }
std::string huge_file_name(std::uint64_t k) { return numbered("f%07llu.dat", k); }

std::uint64_t huge_file_size(const HugeOptions& o, std::uint64_t k) {
    if (is_spread(o, k)) return 64 * 1024 + k % 100;
    if (is_subblock(o, k)) return 4096 + (k % 7) * 1000;
    return 200 + (k * 37) % 800;
}

ContentFn huge_file_content(std::uint64_t k) { return pattern_content(0x48756765ull + k); }

HugeSummary build_huge(const std::string& dir, const HugeOptions& ho) {
    if (ho.members == 0 || ho.members > kMaxMembers || ho.segments_per_member == 0 || ho.files_per_folder == 0 ||
        ho.wide_share == 0 || ho.subblock_every == 0 || ho.spread_every == 0 || ho.vm_data_every == 0)
        throw std::invalid_argument("dsb: huge datastore options out of range");
    const std::uint64_t bs = ho.block_size;
    const std::uint64_t wide = ho.files / ho.wide_share;
    const std::uint64_t folders = ceil_div(ho.files - wide, ho.files_per_folder);

    DatastoreOptions o;
    o.volume_name = "huge-datastore";
    o.block_size = bs;
    for (std::uint32_t m = 0; m < ho.members; ++m)
        o.members.push_back({dir + numbered("/huge%02llu.img", m), 2048, m * ho.segments_per_member,
                             (m + 1) * ho.segments_per_member - 1, {}, true});

    const std::uint64_t objects = ho.files + folders + 16 + 4ull * ho.vms + ho.deleted + 64;
    const std::uint64_t sub_items = ho.files / ho.subblock_every + folders + ceil_div(folders * kDirentSize, 65536) +
        ceil_div(wide * kDirentSize, 65536) + 4ull * ho.vms + ho.deleted + 64;
    o.fdc = {kFdcPerEntry, kFdcEntriesPerArea, 65536, kDescriptorSize,
             static_cast<std::uint32_t>(ceil_div(objects + objects / 50, kFdcPerEntry * kFdcEntriesPerArea))};
    o.sbc = {kSbcPerEntry, kSbcEntriesPerArea, 65536, 65536,
             static_cast<std::uint32_t>(ceil_div(sub_items + sub_items / 20, kSbcPerEntry * kSbcEntriesPerArea))};
    o.pbc = {kPbcPerEntry, kPbcEntriesPerArea, 65536, 4096,
             static_cast<std::uint32_t>(ceil_div(std::max<std::uint64_t>(ho.pointer_blocks, 1),
                                                 kPbcPerEntry * kPbcEntriesPerArea))};
    ImageBuilder ds(o);

    HugeSummary sum;
    sum.images.clear();
    for (const MemberSpec& m : ds.volume().members()) {
        sum.images.push_back(m.path);
        sum.start_sectors.push_back(m.start_sector);
    }
    sum.start_sector = 2048;
    sum.block_size = bs;
    sum.files = ho.files;
    sum.wide_entries = wide;
    sum.folders = folders;
    sum.fdc_slots = o.fdc.total_items();
    sum.sbc_items = o.sbc.total_items();
    sum.pbc_items = o.pbc.total_items();
    sum.blocks_per_member = std::uint64_t{ho.segments_per_member} * kSegmentSize / bs;

    // Placed files take blocks from the top of their member down; the
    // builder's own allocations run from the bottom of member 0 up.
    std::vector<std::uint64_t> top(ho.members);
    for (std::uint32_t m = 0; m < ho.members; ++m) top[m] = (m + 1) * sum.blocks_per_member;
    auto take_block = [&](std::uint32_t m) {
        if (top[m] <= m * sum.blocks_per_member + 1) throw std::length_error("dsb: member full");
        return static_cast<std::uint32_t>(--top[m]);
    };

    const std::uint32_t wide_dir = ds.mkdir(huge_wide_path());
    std::vector<std::uint32_t> spread_ids;
    std::uint64_t spread_count = 0;
    std::uint32_t folder_dir = 0;
    for (std::uint64_t k = 0; k < ho.files; ++k) {
        std::string dir_path;
        std::uint32_t parent = wide_dir;
        if (k >= wide) {
            const std::uint64_t f = (k - wide) / ho.files_per_folder;
            if ((k - wide) % ho.files_per_folder == 0) folder_dir = ds.mkdir(huge_folder_path(f));
            parent = folder_dir;
            dir_path = huge_folder_path(f);
        } else {
            dir_path = huge_wide_path();
        }
        FileSpec spec = generated_file(huge_file_size(ho, k), huge_file_content(k));
        if (is_spread(ho, k)) {
            spec.storage = Storage::FileBlocks;
            spec.file_blocks = {take_block(static_cast<std::uint32_t>(spread_count++ % ho.members))};
            spread_ids.push_back(ds.add_file(dir_path + "/" + huge_file_name(k), spec));
        } else {
            spec.storage = is_subblock(ho, k) ? Storage::SubBlocks : Storage::Inline;
            ds.add_bulk_file(parent, huge_file_name(k), spec);
        }
    }

    std::vector<std::uint32_t> disk_ids;
    for (std::uint32_t v = 0; v < ho.vms; ++v) {
        const std::string name = numbered("vm%02llu", v + 1);
        const std::string folder = "/vms/" + name;
        sum.vm_dirs.push_back(folder);
        const std::uint64_t sectors = ho.vm_disk_size / kSectorSize;
        ds.add_file(folder + "/" + name + ".vmx",
                    text_file(".encoding = \"UTF-8\"\nconfig.version = \"8\"\nvirtualHW.version = \"7\"\n"
                              "displayName = \"" + name + "\"\nmemsize = \"2048\"\n"
                              "scsi0:0.fileName = \"" + name + ".vmdk\"\nscsi0:0.present = \"TRUE\"\n"));
        ds.add_file(folder + "/" + name + ".vmdk", text_file(vmfs_disk_descriptor(name + "-flat.vmdk", sectors)));
        FileSpec disk = generated_file(ho.vm_disk_size, sparse_disk_content(0x766D00 + v, bs, ho.vm_data_every),
                                       Storage::PointerBlocks);
        disk.thin = true;
        // Each disk on a member of its own, away from member 0.
        const std::uint32_t m = (5 + 7 * v) % ho.members;
        for (std::uint64_t i = 0; i < ceil_div(ho.vm_disk_size, bs); ++i)
            disk.file_blocks.push_back(i % ho.vm_data_every == 0 ? take_block(m) : 0);
        disk_ids.push_back(ds.add_file(folder + "/" + name + "-flat.vmdk", disk));
    }

    std::vector<ObjectExpect> gone;
    for (std::uint32_t d = 0; d < ho.deleted; ++d) {
        const std::string path = numbered("/old/gone%04llu.txt", d);
        const std::uint32_t id =
            ds.add_file(path, generated_file(300 + d, pattern_content(0x676F6E65ull + d), Storage::Inline));
        gone.push_back(expect(ds, id));
        ds.remove(path);
    }
    ds.finish();

    for (std::uint32_t id : spread_ids) sum.spread.push_back(expect(ds, id));
    for (std::uint32_t id : disk_ids) sum.vm_disks.push_back(expect(ds, id));
    sum.deleted = std::move(gone);
    return sum;
}

} // namespace dsb
