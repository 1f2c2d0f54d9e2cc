#include "vmfs/store.h"
#include "datastore_harness.h"

#include "datastore_builder.h"
#include "le.h"
#include "scenarios.h"

#include "recovery/deleted_files.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "vmfs/blockid.h"
#include "export/file_export.h"
#include "mount/mount_source.h"
#include "text/messages.h"
#include "text/name_text.h"
#include "vmfs/datastore.h"
#include "vmfs/inode.h"
#include "vmfs/tree_walk.h"
#include "vmfs/volume.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <stdexcept>
#include <unistd.h>

namespace dsfuzz {
namespace {

using dsb::Storage;
using dsb::SysFile;
namespace layout = dsb::layout;

constexpr const char* kDevice = "fuzz-datastore.img";
// Each run must stay fast: listings, exports and walks are cut well before
// they could dominate an execution, while still reaching every code path.
constexpr int kTreeDepth = 12;
constexpr int64_t kTreeEntries = 4096;
constexpr int kMaxExports = 6;
constexpr int64_t kExportBytes = 1048576;   // one chunk: the copy loop runs, the bytes cost little
constexpr size_t kMaxFoundWalks = 3;
constexpr int64_t kMaxMountProbes = 32;

// The mount's view of one descriptor: its attributes, and its data and holes
// searched from offsets a reader may ask, the largest ones included. Answers
// out of range trap, so that the fuzzer reports them.
void mount_probe(dsmount::MountSource& mount, const dsmount::SourceRef& ref, RunOutcome& out) {
    if (out.mount_probes >= kMaxMountProbes) return;
    ++out.mount_probes;
    dsmount::SourceAttr attr;
    if (mount.stat(ref, attr) == dsmount::SourceError::none && attr.allocated < 0) __builtin_trap();
    dsmount::SourceFilePtr file;
    if (mount.open(ref, file) != dsmount::SourceError::none) return;
    const int64_t size = dsmount::MountSource::size(*file);
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t offsets[] = {0, 1, size / 2, size - 1, size, size + 1, int64_t{1} << 40, kMax - 1, kMax};
    for (const int64_t off : offsets) {
        for (const bool data : {true, false}) {
            const int64_t at = mount.seek(*file, off, data);
            if (at != -1 && (at < off || at > size || (data && at == size))) __builtin_trap();
            if (!data && off == 0 && at >= 0 && at < size) ++out.mount_holes;
        }
    }
}

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Builds the datastore and lists the places whose bytes an input may change.
class Scenario {
public:
    explicit Scenario(const std::string& path) {
        dsb::DatastoreOptions o;
        o.path = path;
        o.segments = 1;
        o.volume_name = "fuzz-datastore";
        // Small bitmaps keep every scan of a run short; two descriptor areas
        // keep the walk across areas in play.
        o.fdc = {16, 8, 65536, 2048, 2};
        o.sbc = {16, 4, 65536, 8192, 1};
        o.pbc = {16, 4, 65536, 4096, 1};
        ds_ = std::make_unique<dsb::ImageBuilder>(o);
        dsb::ImageBuilder& ds = *ds_;
        const uint64_t bs = ds.block_size();

        keep("/", ds.root());
        for (SysFile f : {SysFile::Fbb, SysFile::Fdc, SysFile::Pbc, SysFile::Sbc})
            keep(std::string("/") + dsb::sysfile_name(f), ds.system_file(f));
        keep("/vm1/vm1.vmx", ds.add_file("/vm1/vm1.vmx", dsb::text_file("displayName = \"vm1\"\nmemsize = \"1024\"\n")));
        keep("/vm1/vm1.nvram",
             ds.add_file("/vm1/vm1.nvram", dsb::generated_file(20000, dsb::pattern_content(1), Storage::SubBlocks)));
        keep("/vm1/vm1.log", ds.add_file("/vm1/vm1.log", dsb::generated_file(2 * layout::kMiB + 5,
                                                                              dsb::pattern_content(2),
                                                                              Storage::FileBlocks)));
        ds.add_file("/vm1/snapshots/s1.vmsn", dsb::text_file("snapshot\n"));
        keep("/vm1/snapshots", ds.lookup("/vm1/snapshots"));
        keep("/vm1", ds.lookup("/vm1"));

        dsb::ContentFn flat = dsb::overlay_content(
            dsb::zero_content(), {{0, dsb::make_mbr({0xFA, 0x33, 0xC0}, {{0x07, 2048, 6000, true}})},
                                  {3 * layout::kMiB, dsb::materialize(dsb::pattern_content(3), 0, 7)}});
        const uint32_t flat_id =
            ds.add_file("/vm2/vm2-flat.vmdk", dsb::generated_file(3 * layout::kMiB + 7, flat, Storage::PointerBlocks));
        keep("/vm2/vm2-flat.vmdk", flat_id);
        const uint64_t per = ds.geometry(SysFile::Pbc).item_size / 4;
        dsb::FileSpec thin = dsb::generated_file(
            (per + 2) * bs, dsb::overlay_content(dsb::zero_content(), {{0, bytes_of("thin: first block")},
                                                                       {per * bs, bytes_of("thin: second slot")}}),
            Storage::PointerBlocks);
        thin.thin = true;
        keep("/vm2/vm2-thin.vmdk", ds.add_file("/vm2/vm2-thin.vmdk", thin));
        const uint32_t utf8 = ds.add_file("/vm2/résumé-日本.txt", dsb::text_file("é 日本\n"));
        keep("/vm2/résumé-日本.txt", utf8);
        const uint32_t vm2 = ds.lookup("/vm2");
        keep("/vm2", vm2);
        // Names the listing has to make displayable.
        ds.add_dirent(vm2, layout::kTypeRegular, utf8, std::string(128, 'n'));
        ds.add_dirent(vm2, layout::kTypeRegular, utf8, "bad \xFF\xFE utf-8 \xC3(");

        // What the scans look for: a deleted file, a deleted directory deeper
        // down, an old directory below the root (found by the format
        // recovery), and one whose first sub-block was reused while a copy of
        // its entries survives in a free sub-block.
        const uint32_t old_log = ds.add_file(
            "/vm1/vm1-old.log", dsb::generated_file(layout::kMiB + 10, dsb::pattern_content(5), Storage::FileBlocks));
        ds.add_file("/vm2/old-dir/readme.txt", dsb::text_file("in a deleted directory\n"));
        const uint32_t old_dir = ds.lookup("/vm2/old-dir");
        ds.add_file("/projects/plan.txt", dsb::text_file("old plan\n"));
        const uint32_t projects = ds.lookup("/projects");
        const uint32_t vm_old = ds.mkdir("/vm-old");
        ds.add_file("/vm-old/vm-old.vmx", dsb::text_file("displayName = \"vm-old\"\n"));
        const std::vector<uint8_t> vm_old_entries = ds.directory_bytes(vm_old);
        for (const char* p : {"/vm1/vm1-old.log", "/vm2/old-dir", "/projects", "/vm-old"}) ds.remove(p);
        keep("deleted /vm1/vm1-old.log", old_log);
        keep("deleted /vm2/old-dir", old_dir);
        keep("deleted /projects", projects);
        keep("deleted /vm-old", vm_old);
        const uint32_t reused = ds.info(vm_old).data_ids.at(0);
        dsb::FileSpec over = dsb::text_file("new data over an old directory block\n", Storage::SubBlocks);
        over.sub_blocks = {reused};
        keep("/new/reuse.txt", ds.add_file("/new/reuse.txt", over));
        keep("/new", ds.lookup("/new"));
        const uint32_t copy = ds.unused(SysFile::Sbc);
        ds.write_item(copy, 0, vm_old_entries);
        const uint32_t never_used = ds.unused(SysFile::Fdc);

        // A lost virtual disk behind a free pointer block, and a decoy whose
        // first id names a sub-block.
        std::vector<uint8_t> ids(8, 0);
        const uint32_t decoy = ds.unused(SysFile::Pbc);
        dsb::put_le<uint32_t>(ids, 0, dsb::sb_build(0, 1));
        ds.write_item(decoy, 0, ids);
        const uint32_t lost_pb = ds.unused(SysFile::Pbc);
        const uint32_t lost_block = ds.unused(SysFile::Fbb);
        ds.write_item(lost_block, 0,
                      dsb::make_mbr({0x33, 0xC0, 0x8E}, {{0x07, 2048, 83886080, true}, {0x82, 83888128, 2097152}}));
        dsb::put_le<uint32_t>(ids, 0, lost_block);
        ds.write_item(lost_pb, 0, ids);
        ds.finish();

        add_image_region("volume header",
                         static_cast<int64_t>(ds.volume().partition_offset(0) + layout::kVolumeHeaderOffset),
                         layout::kVolumeHeaderSize);
        add_lv_region("fs descriptor", layout::kFsDescriptorOffset, layout::kFsDescriptorSize);
        for (SysFile f : {SysFile::Fbb, SysFile::Fdc, SysFile::Pbc, SysFile::Sbc}) {
            const dsb::BitmapGeometry& g = ds.geometry(f);
            const uint64_t base = uint64_t{ds.system_file_first_block(f)} * bs;
            const std::string name = dsb::sysfile_name(f);
            add_lv_region(name + " header", base, 512);
            std::set<uint64_t> entries = {0, 1, g.entry_count() - 1};
            for (uint64_t e : entries)
                if (e < g.entry_count())
                    add_lv_region(name + " entry " + std::to_string(e), base + g.entry_pos(static_cast<uint32_t>(e)),
                                  layout::kBitmapEntrySize);
        }
        for (const auto& [name, id] : objects_) {
            add_lv_region("descriptor " + name, ds.item_lv_offset(id), layout::kDescriptorSize);
            const dsb::ObjectInfo& info = ds.info(id);
            if (info.type == layout::kTypeDirectory && !info.data_ids.empty() && info.data_ids[0] != 0) {
                const uint64_t len = std::min<uint64_t>(std::max<uint64_t>(info.size, 2 * layout::kDirentSize),
                                                        ds.item_size(info.data_ids[0]));
                add_lv_region("entries " + name, ds.item_lv_offset(info.data_ids[0]), len);
            }
            for (size_t k = 0; k < info.pointer_ids.size(); ++k)
                if (info.pointer_ids[k] != 0)
                    add_lv_region("pointer block " + std::to_string(k) + " " + name,
                                  ds.item_lv_offset(info.pointer_ids[k]), ds.item_size(info.pointer_ids[k]));
        }
        add_lv_region("descriptor never used", ds.item_lv_offset(never_used), layout::kDescriptorSize);
        add_lv_region("entries copy of /vm-old", ds.item_lv_offset(copy), vm_old_entries.size());
        add_lv_region("lost pointer block", ds.item_lv_offset(lost_pb), 64);
        add_lv_region("decoy pointer block", ds.item_lv_offset(decoy), 64);
        add_lv_region("lost boot record", ds.item_lv_offset(lost_block), 512);
        add_lv_region("flat boot record", ds.item_lv_offset(ds.info(flat_id).data_ids.at(0)), 512);
        start_sector = ds.volume().members().front().start_sector;
    }

    std::vector<Region> regions;
    int64_t start_sector = 0;

private:
    void keep(const std::string& name, uint32_t id) { objects_.emplace_back(name, id); }
    void add_image_region(const std::string& name, int64_t offset, uint64_t length) {
        regions.push_back({name, offset, static_cast<size_t>(length)});
    }
    void add_lv_region(const std::string& name, uint64_t lv, uint64_t length) {
        const dsb::Volume::Location at = ds_->volume().locate(lv);
        add_image_region(name, static_cast<int64_t>(at.image_offset), length);
    }

    std::unique_ptr<dsb::ImageBuilder> ds_;
    std::vector<std::pair<std::string, uint32_t>> objects_;
};

std::vector<uint8_t> read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error("cannot read back " + path);
    return bytes;
}

} // namespace

DatastoreHarness::DatastoreHarness() {
    // On a memory file system where there is one: an export flushes its host
    // file, which costs a disk write per input elsewhere.
    std::error_code ec;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                      : std::filesystem::temp_directory_path();
    std::string tmpl = (base / "datumsift-fuzz-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    sink_ = dir_ + "/export.bin";
    const std::string image = dir_ + "/datastore.img";
    {
        Scenario s(image);
        regions_ = std::move(s.regions);
        start_sector_ = s.start_sector;
    }
    source_.disks[kDevice] = read_whole(image);
    std::filesystem::remove(image);
    const std::vector<uint8_t>& disk = source_.disks[kDevice];
    for (const Region& r : regions_) {
        if (r.offset < 0 || static_cast<uint64_t>(r.offset) + r.length > disk.size())
            throw std::logic_error("region outside the image: " + r.name);
        pristine_.emplace_back(disk.begin() + r.offset, disk.begin() + r.offset + static_cast<int64_t>(r.length));
    }
    dirty_.assign(regions_.size(), false);
}

DatastoreHarness::~DatastoreHarness() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

size_t DatastoreHarness::region_index(const std::string& name) const {
    for (size_t k = 0; k < regions_.size(); ++k)
        if (regions_[k].name == name) return k;
    throw std::out_of_range("no region " + name);
}

void DatastoreHarness::apply(const uint8_t* data, size_t size) {
    std::vector<uint8_t>& disk = source_.disks[kDevice];
    size_t i = 0;
    while (size - i >= 5) {
        const uint8_t which = data[i];
        const uint16_t off = static_cast<uint16_t>(data[i + 1] | data[i + 2] << 8);
        size_t len = static_cast<size_t>(data[i + 3] | data[i + 4] << 8);
        i += 5;
        len = std::min(len, size - i);
        if (which == kFailRegion) {
            source_.fail_from = int64_t{off} * kFailStep;
            source_.fail_to = INT64_MAX;
            i += len;
            continue;
        }
        const size_t k = which % regions_.size();
        const Region& r = regions_[k];
        const size_t at = off % r.length;
        len = std::min(len, r.length - at);
        std::copy_n(data + i, len, disk.begin() + r.offset + static_cast<int64_t>(at));
        dirty_[k] = true;
        i += len;
    }
}

void DatastoreHarness::restore() {
    std::vector<uint8_t>& disk = source_.disks[kDevice];
    for (size_t k = 0; k < regions_.size(); ++k) {
        if (!dirty_[k]) continue;
        std::copy(pristine_[k].begin(), pristine_[k].end(), disk.begin() + regions_[k].offset);
        dirty_[k] = false;
    }
    source_.fail_from = source_.fail_to = -1;
}

RunOutcome DatastoreHarness::exercise() {
    RunOutcome out;
    // A datastore of its own for every input: nothing of the last one stays.
    ds::Datastore store(source_);
    if (ds::add_disk(store, kDevice, start_sector_) != 0) return out;
    out.disk_added = true;
    const ds::OpenOutcome open = ds::fs_open(store);
    out.open_message = ds::open_message(open.failure);
    dsmount::MountSource mount(store);

    auto export_one = [&](uint32_t id, int64_t first_block) {
        if (out.exports >= kMaxExports) return;
        ++out.exports;
        mount_probe(mount, {id, first_block}, out);
        ds::File file;
        if (!store.open_file(ds::Node{id, first_block}, file)) return;
        ds::file_export(store, file, sink_, [](int64_t done, int64_t) { return done < kExportBytes; });
    };
    auto walk = [&](uint32_t top, const std::string& path, int64_t first_block) {
        ds::TreeWalkOptions options;
        options.max_depth = kTreeDepth;
        options.print_name = ds::printable_name;
        int files = 0;
        ds::TreeWalkResult r = store.walk(
            ds::Node{top, first_block}, path,
            [&](const ds::TreeNode& n) {
                mount_probe(mount, {n.entry.descriptor_id, -1}, out);
                if (!n.entry.is_dir && files++ < 2) export_one(n.entry.descriptor_id, -1);
                return out.tree_entries + 1 < kTreeEntries;
            },
            {}, options);
        out.tree_entries += r.entries;
    };

    if (open.tree_rebuilt) {
        out.tree_walked = true;
        export_one(ds::kRootDirId, -1);   // a directory exports as its entries
        walk(ds::kRootDirId, "/", -1);
    }
    const ds::ScanProgress progress = [](int) { return true; };
    out.deleted = ds::scan_deleted_files(store, progress, [&](const ds::FileRow& row) {
                      if (++out.deleted_rows <= 2) export_one(row.descriptor_id, -1);
                  }).end;
    out.formatted = store.scan_formatted(progress).end;
    const std::vector<ds::FoundDir>& found = store.found_dirs();
    out.found_dirs = static_cast<int64_t>(found.size());
    for (size_t k = 0; k < found.size() && k < kMaxFoundWalks; ++k)
        walk(found[k].dir_id, "DIR" + std::to_string(found[k].number),
             ds::found_dir_first_block(store, found[k].number));
    out.vmdk = ds::scan_lost_vmdks(store, progress, [&](const ds::PartitionRow&) { ++out.vmdk_rows; }).end;
    return out;
}

RunOutcome DatastoreHarness::run(const uint8_t* data, size_t size) {
    apply(data, size);
    RunOutcome out;
    try {
        out = exercise();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return out;
}

DatastoreHarness& harness() {
    static DatastoreHarness h;
    return h;
}

std::vector<uint8_t> patch(size_t region, uint16_t offset, std::span<const uint8_t> bytes) {
    const size_t len = std::min<size_t>(bytes.size(), 0xFFFF);
    // Sized once: GCC 12 takes an insert after a five-byte list for a write past it.
    std::vector<uint8_t> p(5 + len);
    p[0] = static_cast<uint8_t>(region);
    p[1] = static_cast<uint8_t>(offset);
    p[2] = static_cast<uint8_t>(offset >> 8);
    p[3] = static_cast<uint8_t>(len);
    p[4] = static_cast<uint8_t>(len >> 8);
    std::copy_n(bytes.begin(), len, p.begin() + 5);
    return p;
}

std::vector<uint8_t> fail_reads_from(uint16_t step) {
    return {kFailRegion, static_cast<uint8_t>(step), static_cast<uint8_t>(step >> 8), 0, 0};
}

} // namespace dsfuzz
