#include "scenarios.h"

#include <stdexcept>

#include "le.h"

namespace dsb {

using namespace layout;

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

void record(ImageSummary& sum, const ImageBuilder& ds, std::uint32_t id) {
    ObjectExpect e = expect(ds, id);
    sum.ids[e.path] = id;
    sum.objects.push_back(std::move(e));
}

ImageSummary base_summary(const ImageBuilder& ds) {
    ImageSummary s;
    for (const MemberSpec& m : ds.volume().members()) s.images.push_back(m.path);
    s.start_sector = ds.volume().members().front().start_sector;
    for (const MemberSpec& m : ds.volume().members()) s.start_sectors.push_back(m.start_sector);
    s.block_size = ds.block_size();
    return s;
}

std::uint64_t total_kib(const std::vector<PartitionEntry>& table) {
    std::uint64_t kib = 0;
    for (const PartitionEntry& p : table) {
        if (p.type == 0 && p.start_lba == 0 && p.sectors == 0) break;
        kib += p.sectors / 2;
    }
    return kib;
}

} // namespace

ObjectExpect expect(const ImageBuilder& ds, std::uint32_t id) {
    const ObjectInfo& o = ds.info(id);
    ObjectExpect e;
    e.path = o.path;
    e.id = o.id;
    e.parent = o.parent;
    e.type = o.type;
    e.size = o.size;
    e.storage = o.storage;
    e.addr_mode = o.addr_mode;
    e.content = o.content;
    e.data_ids = o.data_ids;
    e.pointer_ids = o.pointer_ids;
    e.create_time = o.create_time;
    e.update_time = o.update_time;
    e.atime = o.atime;
    return e;
}

std::uint64_t ImageSummary::lv_offset_of_data(std::uint32_t id) const {
    for (const ObjectExpect& o : objects)
        if (o.id == id && !o.data_ids.empty() && blk_kind(o.data_ids[0]) == BlockKind::File)
            return std::uint64_t{fb_number(o.data_ids[0])} * block_size;
    throw std::out_of_range("dsb: object has no first file block");
}

DemoSummary build_demo(const std::string& dir, std::uint64_t block_size, bool distinct_times) {
    DatastoreOptions o;
    o.distinct_times = distinct_times;
    o.path = dir + "/demo.img";
    o.segments = 2;
    o.block_size = block_size;
    o.volume_name = "demo-datastore";
    ImageBuilder ds(o);
    DemoSummary sum;
    static_cast<ImageSummary&>(sum) = base_summary(ds);

    const std::string vmx =
        ".encoding = \"UTF-8\"\nconfig.version = \"8\"\nvirtualHW.version = \"7\"\n"
        "displayName = \"vm1\"\nguestOS = \"winnetstandard\"\nmemsize = \"1024\"\n"
        "scsi0:0.fileName = \"vm1.vmdk\"\nscsi0:0.present = \"TRUE\"\n";
    sum.inline_file = ds.add_file("/vm1/vm1.vmx", text_file(vmx));
    sum.subblock_file = ds.add_file("/vm1/vm1.nvram", generated_file(100000, pattern_content(1), Storage::SubBlocks));
    sum.fileblock_file =
        ds.add_file("/vm1/vm1.log", generated_file(3 * kMiB + 5, pattern_content(2), Storage::FileBlocks));
    sum.snapshot_dir = ds.mkdir("/vm1/snapshots");
    ds.add_file("/vm1/snapshots/vm1-Snapshot1.vmsn", text_file("snapshot of vm1 taken before the patch run\n"));

    // A mostly empty 300 MiB disk: every block is allocated (so it exports
    // whole), but only a few ranges hold bytes, so the image stays sparse.
    const std::uint64_t flat = 300 * kMiB;
    ContentFn flat_content = overlay_content(zero_content(),
                                             {{0, make_mbr({0xFA, 0x33, 0xC0}, {{0x07, 2048, 614400 - 2048, true}})},
                                              {1048500, materialize(pattern_content(3), 0, 140)},
                                              {flat - 100, materialize(pattern_content(4), 0, 100)}});
    sum.pointer_file = ds.add_file("/vm2/vm2-flat.vmdk", generated_file(flat, flat_content, Storage::PointerBlocks));

    // A thin 1.5 GiB disk with data only where pointer lookups change slot:
    // block 0, block 1023 (last id of pointer block 0), block 1024 (first of 1).
    const std::uint64_t per = ds.geometry(SysFile::Pbc).item_size / 4;
    ContentFn thin_content =
        overlay_content(zero_content(),
                        {{0, bytes_of("thin disk: block 0")},
                         {(per - 1) * block_size, bytes_of("thin disk: last id of the first pointer block")},
                         {per * block_size, bytes_of("thin disk: first id of the second pointer block")}});
    FileSpec thin = generated_file((per + per / 2) * block_size, thin_content, Storage::PointerBlocks);
    thin.thin = true;
    sum.thin_file = ds.add_file("/vm2/vm2-thin.vmdk", thin);

    sum.utf8_file = ds.add_file("/vm2/résumé-日本.txt", text_file("notes with a multi-byte name: é 日本\n"));

    // Deleted regular file: name gone, slot free, descriptor and bytes intact.
    const std::uint32_t old_log =
        ds.add_file("/vm1/vm1-old.log", generated_file(2 * kMiB + 10, pattern_content(5), Storage::FileBlocks));
    ds.mkdir("/vm2/old-dir");
    ds.add_file("/vm2/old-dir/readme.txt", text_file("in a deleted directory\n"));
    const std::uint32_t old_dir = ds.lookup("/vm2/old-dir");
    ds.remove("/vm1/vm1-old.log");
    ds.remove("/vm2/old-dir");
    sum.deleted_file = expect(ds, old_log);
    sum.deleted_dir = expect(ds, old_dir);
    sum.never_used_slot = ds.unused(SysFile::Fdc);

    // Lost virtual disks among free pointer blocks. The decoys come first in
    // walk order and must yield nothing.
    const std::uint32_t zero_pb = ds.unused(SysFile::Pbc); // first id 0
    const std::uint32_t sub_pb = ds.unused(SysFile::Pbc);  // first id names a sub-block
    std::vector<std::uint8_t> ids(8, 0);
    put_le<std::uint32_t>(ids, 0, sb_build(0, 1));
    ds.write_item(sub_pb, 0, ids);
    const std::uint32_t badsig_pb = ds.unused(SysFile::Pbc); // MBR-like, wrong signature
    const std::uint32_t badsig_block = ds.unused(SysFile::Fbb);
    ds.write_item(badsig_block, 0, make_mbr({0xEB, 0x48, 0x90}, {{0x07, 63, 1000000}}, {0x55, 0xAB}));
    put_le<std::uint32_t>(ids, 0, badsig_block);
    ds.write_item(badsig_pb, 0, ids);
    sum.decoy_pointer_blocks = {zero_pb, sub_pb, badsig_pb};

    LostDisk lost;
    lost.pointer_block = ds.unused(SysFile::Pbc);
    lost.file_block = ds.unused(SysFile::Fbb);
    const std::uint32_t second_block = ds.unused(SysFile::Fbb);
    lost.partitions = {{0x07, 2048, 83886080, true}, {0x82, 83888128, 2097152, false}};
    lost.total_kib = total_kib(lost.partitions);
    ds.write_item(lost.file_block, 0, make_mbr({0x33, 0xC0, 0x8E}, lost.partitions));
    ds.write_item(second_block, 0, materialize(pattern_content(6), 0, 4096));
    put_le<std::uint32_t>(ids, 0, lost.file_block);
    put_le<std::uint32_t>(ids, 4, second_block);
    ds.write_item(lost.pointer_block, 0, ids);
    sum.lost_disks.push_back(lost);

    ds.finish();
    for (const char* p :
         {"/", "/vm1", "/vm2", "/vm1/snapshots", "/vm1/vm1.vmx", "/vm1/vm1.nvram", "/vm1/vm1.log",
          "/vm1/snapshots/vm1-Snapshot1.vmsn", "/vm2/vm2-flat.vmdk", "/vm2/vm2-thin.vmdk", "/vm2/résumé-日本.txt"})
        record(sum, ds, ds.lookup(p));
    sum.objects.push_back(sum.deleted_file);
    sum.ids[sum.deleted_file.path] = sum.deleted_file.id;
    sum.objects.push_back(sum.deleted_dir);
    sum.ids[sum.deleted_dir.path] = sum.deleted_dir.id;
    return sum;
}

FormattedSummary build_formatted(const std::string& dir, std::uint64_t block_size) {
    DatastoreOptions o;
    o.path = dir + "/formatted.img";
    o.segments = 1;
    o.block_size = block_size;
    o.volume_name = "formatted-datastore";
    ImageBuilder ds(o);
    FormattedSummary sum;
    static_cast<ImageSummary&>(sum) = base_summary(ds);

    // The old file system, built live and then wiped as a format would leave it:
    // every old descriptor and block freed, the new root no longer naming them.
    sum.intact_dir = ds.mkdir("/projects");
    ds.add_file("/projects/plan.txt", text_file("old plan, kept in the intact directory\n"));
    sum.deep_dir = ds.mkdir("/projects/archive");
    const std::uint32_t deep_file =
        ds.add_file("/projects/archive/2009.log", generated_file(70000, pattern_content(12), Storage::SubBlocks));
    sum.reused_dir = ds.mkdir("/vm-old");
    const std::uint32_t disk =
        ds.add_file("/vm-old/vm-old-flat.vmdk", generated_file(2 * kMiB + 512 * 1024 + 7, pattern_content(11)));
    ds.add_file("/vm-old/vm-old.vmx", text_file("displayName = \"vm-old\"\n"));
    sum.lost_dir = ds.mkdir("/scratch");
    ds.add_file("/scratch/tmp.txt", text_file("gone for good\n"));

    sum.file_in_reused = expect(ds, disk);
    sum.file_in_deep = expect(ds, deep_file);
    const std::vector<std::uint8_t> reused_entries = ds.directory_bytes(sum.reused_dir);
    for (const char* p : {"/projects", "/vm-old", "/scratch"}) ds.remove(p);
    for (std::uint32_t id : {sum.intact_dir, sum.deep_dir, sum.reused_dir, sum.lost_dir}) record(sum, ds, id);
    record(sum, ds, disk);
    record(sum, ds, deep_file);
    sum.reused_block = ds.info(sum.reused_dir).data_ids.at(0);

    // The new file system reuses the first sub-blocks of two old directories.
    const std::string text(3000, 'n');
    FileSpec reuse1 = text_file("new data over an old directory block\n" + text, Storage::SubBlocks);
    reuse1.sub_blocks = {sum.reused_block};
    ds.add_file("/new/reuse1.txt", reuse1);
    FileSpec reuse2 = text_file("new data over another old directory block\n" + text, Storage::SubBlocks);
    reuse2.sub_blocks = {ds.info(sum.lost_dir).data_ids.at(0)};
    ds.add_file("/new/reuse2.txt", reuse2);

    // Free sub-blocks met before the surviving copy: one whose first entry has
    // the right id but type 3, which must not match.
    const std::uint32_t decoy = ds.unused(SysFile::Sbc);
    ds.write_item(decoy, 0, encode_dirent(kTypeRegular, sum.reused_dir, 0, "."));
    sum.copy_block = ds.unused(SysFile::Sbc);
    ds.write_item(sum.copy_block, 0, reused_entries);
    sum.later_copy_block = ds.unused(SysFile::Sbc);
    ds.write_item(sum.later_copy_block, 0, std::span<const std::uint8_t>(reused_entries).first(2 * kDirentSize));
    ds.finish();

    sum.found = {{1, sum.intact_dir, -1, "projects"},
                 {2, sum.reused_dir, static_cast<std::int32_t>(sum.copy_block), "vm-old"}};
    for (const char* p : {"/", "/new", "/new/reuse1.txt", "/new/reuse2.txt"}) record(sum, ds, ds.lookup(p));
    return sum;
}

MultiSummary build_multi(const std::string& dir) {
    DatastoreOptions o;
    o.volume_name = "multi-datastore";
    o.members = {{dir + "/multi0.img", 2048, 0, 1, {}, true}, {dir + "/multi1.img", 2048, 2, 3, {}, true}};
    ImageBuilder ds(o);
    MultiSummary sum;
    static_cast<ImageSummary&>(sum) = base_summary(ds);
    sum.segments = {{0, 1}, {2, 3}};
    // Blocks 510, 511 end member 0; 512, 513 open member 1 (1 MiB blocks).
    FileSpec span = generated_file(4 * kMiB - 123, pattern_content(21), Storage::FileBlocks);
    span.file_blocks = {510, 511, 512, 513};
    const std::uint32_t id = ds.add_file("/span/span.bin", span);
    ds.add_file("/span/span.vmx", text_file("displayName = \"span\"\n"));
    ds.add_file("/far/far.bin", generated_file(kMiB + 1, pattern_content(22)));
    ds.finish();
    sum.spanning = expect(ds, id);
    for (const char* p : {"/", "/span", "/far", "/span/span.bin", "/span/span.vmx", "/far/far.bin"})
        record(sum, ds, ds.lookup(p));
    return sum;
}

MatrixSummary build_matrix(const std::string& dir, const MatrixOptions& mo) {
    const std::uint64_t bs = mo.block_size;
    DatastoreOptions o;
    o.volume_name = "matrix-datastore";
    o.block_size = bs;
    // Two segments, on one member or one each: the spanning file crosses the
    // segment edge either way.
    if (mo.start_sectors.size() == 1) {
        o.path = dir + "/matrix.img";
        o.segments = 2;
        o.start_sector = mo.start_sectors[0];
    } else {
        for (std::size_t k = 0; k < mo.start_sectors.size(); ++k)
            o.members.push_back({dir + "/matrix" + std::to_string(k) + ".img",
                                 mo.start_sectors[k],
                                 static_cast<std::uint32_t>(k),
                                 static_cast<std::uint32_t>(k),
                                 {},
                                 true});
    }
    // Descriptor items 512 and up have bit 31 of their id set.
    o.fdc = {1024, 1, 65536, kDescriptorSize, 1};
    o.sbc = {mo.sub_items_per_entry, 128 / mo.sub_items_per_entry, 65536, 65536, 2};
    o.pbc = {16, 4, 65536, 4096, 1};
    ImageBuilder ds(o);
    MatrixSummary sum;
    static_cast<ImageSummary&>(sum) = base_summary(ds);
    sum.sub_items_per_entry = mo.sub_items_per_entry;
    const std::uint32_t ipe = mo.sub_items_per_entry;

    const std::uint32_t inline_id = ds.add_file("/vm/vm.vmx", text_file("displayName = \"vm\"\n"));
    const std::uint32_t file_id =
        ds.add_file("/vm/vm.log", generated_file(bs + 12345, pattern_content(41), Storage::FileBlocks));
    const std::uint32_t pointer_id =
        ds.add_file("/vm/vm-flat.vmdk", generated_file(2 * bs + 99, pattern_content(42), Storage::PointerBlocks));
    const std::uint64_t thin_size = 4 * bs - 1000;
    ContentFn thin_content = overlay_content(
        zero_content(), {{10, bytes_of("thin: the first block")}, {3 * bs + 5, bytes_of("thin: the last block")}});
    FileSpec thin = generated_file(thin_size, thin_content, Storage::FileBlocks);
    thin.thin = true;
    const std::uint32_t thin_direct = ds.add_file("/vm/thin-direct.vmdk", thin);
    thin.storage = Storage::PointerBlocks;
    const std::uint32_t thin_pointer = ds.add_file("/vm/thin-pointer.vmdk", thin);
    // Across the edge of segment 0: the last block of it and the first after.
    const std::uint32_t edge = static_cast<std::uint32_t>(kSegmentSize / bs);
    FileSpec span = generated_file(2 * bs - 77, pattern_content(43), Storage::FileBlocks);
    span.file_blocks = {edge - 1, edge};
    const std::uint32_t span_id = ds.add_file("/vm/span.bin", span);

    // The sub-block file starts three items before the end of an entry, so it
    // uses the highest items there.
    for (;;) {
        const std::uint32_t next = ds.unused(SysFile::Sbc);
        if (sb_item(next) == ipe - 4) break;
    }
    const std::uint32_t sub_id =
        ds.add_file("/vm/vm.nvram", generated_file(4 * 65536 + 3, pattern_content(44), Storage::SubBlocks));

    // The old file system that a format left behind: one directory whose
    // first block survives, one whose first block a new file took, whose
    // entries survive in a free sub-block at a high item.
    const std::uint32_t intact = ds.mkdir("/old-intact");
    ds.add_file("/old-intact/notes.txt", text_file("kept in the intact directory\n"));
    const std::uint32_t reused = ds.mkdir("/old-reused");
    const std::uint32_t in_reused =
        ds.add_file("/old-reused/disk.vmdk", generated_file(bs + 4321, pattern_content(45), Storage::FileBlocks));
    sum.file_in_reused = expect(ds, in_reused);
    const std::vector<std::uint8_t> reused_entries = ds.directory_bytes(reused);
    ds.remove("/old-intact");
    ds.remove("/old-reused");
    FileSpec reuse = text_file(std::string(2000, 'r'), Storage::SubBlocks);
    reuse.sub_blocks = {ds.info(reused).data_ids.at(0)};
    ds.add_file("/new/reuse.txt", reuse);
    std::uint32_t copy = 0;
    do copy = ds.unused(SysFile::Sbc);
    while (sb_item(copy) < ipe - 1);
    ds.write_item(copy, 0, reused_entries);
    sum.found = {{1, intact, -1, "old-intact"}, {2, reused, static_cast<std::int32_t>(copy), "old-reused"}};

    const std::uint32_t gone =
        ds.add_file("/vm/old.log", generated_file(bs / 2 + 1, pattern_content(46), Storage::FileBlocks));
    ds.remove("/vm/old.log");
    sum.deleted_file = expect(ds, gone);

    // Descriptors at items 512 and up of entry 0: ids above 2^31.
    for (;;) {
        const std::uint32_t next = ds.unused(SysFile::Fdc);
        if (fd_item(next) == 511) break;
    }
    const std::uint32_t high_dir = ds.mkdir("/high");
    const std::uint32_t high_file = ds.add_file("/high/high.bin", generated_file(70000, pattern_content(47)));

    LostDisk lost;
    lost.pointer_block = ds.unused(SysFile::Pbc);
    lost.file_block = ds.unused(SysFile::Fbb);
    lost.partitions = {{0x83, 2048, 4194304, true}};
    lost.total_kib = total_kib(lost.partitions);
    ds.write_item(lost.file_block, 0, make_mbr({0x33, 0xC0, 0x8E}, lost.partitions));
    std::vector<std::uint8_t> ids(4, 0);
    put_le<std::uint32_t>(ids, 0, lost.file_block);
    ds.write_item(lost.pointer_block, 0, ids);
    sum.lost_disks.push_back(lost);
    ds.finish();

    sum.inline_file = expect(ds, inline_id);
    sum.subblock_file = expect(ds, sub_id);
    sum.fileblock_file = expect(ds, file_id);
    sum.pointer_file = expect(ds, pointer_id);
    sum.thin_direct = expect(ds, thin_direct);
    sum.thin_pointer = expect(ds, thin_pointer);
    sum.spanning = expect(ds, span_id);
    sum.high_dir = expect(ds, high_dir);
    sum.high_file = expect(ds, high_file);
    for (std::uint32_t id :
         {inline_id, sub_id, file_id, pointer_id, thin_direct, thin_pointer, span_id, high_dir, high_file})
        record(sum, ds, id);
    for (const char* p : {"/", "/vm", "/new", "/new/reuse.txt"}) record(sum, ds, ds.lookup(p));
    for (std::uint32_t id : {intact, reused, in_reused, gone}) record(sum, ds, id);
    return sum;
}

BenchSummary build_bench(const std::string& dir, const BenchOptions& b) {
    DatastoreOptions o;
    o.path = dir + "/bench.img";
    o.volume_name = "bench-datastore";
    o.block_size = b.block_size;
    const std::uint64_t per_area = 256;
    o.fdc.area_count = static_cast<std::uint32_t>(
        (std::max<std::uint64_t>(b.fdc_slots, b.dir_entries + b.old_dirs + b.deleted_files + 64) + per_area - 1) /
        per_area);
    o.sbc.item_size = 8192;
    const std::uint64_t sub_needed = std::uint64_t{b.old_dirs} * 2 + b.free_subblocks + 512;
    o.sbc.area_count = static_cast<std::uint32_t>((sub_needed + per_area - 1) / per_area);
    const std::uint64_t bs = o.block_size;
    const std::uint64_t big_blocks = (b.big_file_size + bs - 1) / bs;
    o.pbc.area_count = static_cast<std::uint32_t>((big_blocks / 1024 + 2 + per_area - 1) / per_area);
    const std::uint64_t sys_blocks = (o.fdc.file_size() + o.sbc.file_size() + o.pbc.file_size()) / bs + 16;
    const std::uint64_t blocks = 4 + sys_blocks + big_blocks + 64;
    o.segments = static_cast<std::uint32_t>((blocks * bs + kSegmentSize - 1) / kSegmentSize);
    ImageBuilder ds(o);
    BenchSummary sum;
    static_cast<ImageSummary&>(sum) = base_summary(ds);

    const std::uint32_t big =
        ds.add_file("/big/big-flat.vmdk", generated_file(b.big_file_size, pattern_content(31), Storage::PointerBlocks));
    sum.big_dir = ds.mkdir("/many");
    for (std::uint32_t i = 0; i < b.dir_entries; ++i) {
        std::string name = "file-" + std::to_string(i) + ".txt";
        ds.add_file("/many/" + name, text_file("entry " + std::to_string(i) + "\n"));
    }

    // Deleted files spread over the slots, so the deleted-file scan lists rows
    // and not only looks at empty slots.
    for (std::uint32_t i = 0; i < b.deleted_files; ++i)
        ds.add_file("/gone/file-" + std::to_string(i) + ".bin", text_file("deleted " + std::to_string(i) + "\n"));
    for (std::uint32_t i = 0; i < b.deleted_files; ++i) ds.remove("/gone/file-" + std::to_string(i) + ".bin");
    sum.deleted_files = b.deleted_files;

    // Old directories below the root whose first sub-blocks were reused; their
    // entries survive only in free sub-blocks placed at the end of the walk.
    std::vector<std::uint32_t> old;
    for (std::uint32_t i = 0; i < b.old_dirs; ++i) old.push_back(ds.mkdir("/old-" + std::to_string(i)));
    std::vector<std::vector<std::uint8_t>> entries;
    for (std::uint32_t i = 0; i < b.old_dirs; ++i) {
        entries.push_back(ds.directory_bytes(old[i]));
        ds.remove("/old-" + std::to_string(i));
    }
    const auto junk = encode_dirent(kTypeRegular, 0x12345, 0, "reused");
    for (std::uint32_t id : old) {
        const std::uint32_t first = ds.info(id).data_ids.at(0);
        ds.set_free(first, false);
        ds.write_item(first, 0, junk);
    }
    const std::uint32_t fillers = b.free_subblocks > b.old_dirs ? b.free_subblocks - b.old_dirs : 0;
    for (std::uint32_t i = 0; i < fillers; ++i) ds.unused(SysFile::Sbc);
    for (std::uint32_t i = 0; i < b.old_dirs; ++i) {
        const std::uint32_t copy = ds.unused(SysFile::Sbc);
        ds.write_item(copy, 0, entries[i]);
        sum.found.push_back({i + 1, old[i], static_cast<std::int32_t>(copy), "old-" + std::to_string(i)});
    }
    ds.finish();

    sum.big_file = expect(ds, big);
    sum.fdc_slots = ds.geometry(SysFile::Fdc).total_items();
    std::uint64_t free_sb = 0;
    const BitmapState& sb = ds.bitmap(SysFile::Sbc);
    for (std::uint64_t n = 0; n < sb.usable(); ++n) free_sb += sb.is_free(n);
    sum.free_subblocks = free_sb;
    for (const char* p : {"/", "/big", "/many", "/big/big-flat.vmdk"}) record(sum, ds, ds.lookup(p));
    return sum;
}

} // namespace dsb
