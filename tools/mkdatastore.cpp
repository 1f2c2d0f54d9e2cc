// mkdatastore: writes synthetic datastore images for trying the reader by hand.
//   mkdatastore demo DIR       DIR/demo.img
//   mkdatastore formatted DIR  DIR/formatted.img
//   mkdatastore multi DIR      DIR/multi0.img, DIR/multi1.img
//   mkdatastore bench DIR      DIR/bench.img (several GiB, mostly written data)
//   mkdatastore vm DIR         DIR/vm.img: a virtual machine whose flat disk holds an
//                              ext4 partition made by mkfs.ext4 from known files
//   mkdatastore vm DIR MIB     the same with a thick flat disk of MIB MiB, every block
//                              allocated (one run on the image), for timing reads of it
//   mkdatastore demo|formatted DIR MIB       the same with MIB MiB file blocks (1, 2, 4 or 8)
//   mkdatastore wide DIR N     DIR/wide.img: /wide names one file N times, far more entries
//                              than the volume's 1024 descriptors (a hostile directory)
//   mkdatastore small DIR N    DIR/small.img: /small holds N small files in 40 folders
//                              (inline, one in ten a few KiB in a sub-block), for timing exports
//   mkdatastore huge DIR [FILES]  DIR/huge00.img .. huge31.img: 32 members of 2 TiB (sparse),
//                              a million files (FILES: fewer, on small members), 8 MiB blocks
//   mkdatastore matrix DIR MIB SUBS SECTOR...  every addressing mode and every scan's find,
//                              SUBS sub-blocks per bitmap entry, one member per SECTOR
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "builder/datastore_builder.h"
#include "builder/huge_datastore.h"
#include "builder/lost_disks.h"
#include "builder/virtual_machine.h"

namespace {

std::string hex32(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%08x", v);
  return b;
}

void print_object(const dsb::ObjectExpect& o, std::uint64_t block_size) {
  std::string where = "-";
  if (!o.data_ids.empty() && dsb::blk_kind(o.data_ids[0]) == dsb::BlockKind::File)
    where = "lv 0x" + [&] {
      char b[32];
      std::snprintf(b, sizeof b, "%llx",
                    static_cast<unsigned long long>(std::uint64_t{dsb::fb_number(o.data_ids[0])} * block_size));
      return std::string(b);
    }();
  else if (!o.data_ids.empty())
    where = "first id 0x" + [&] {
      char b[16];
      std::snprintf(b, sizeof b, "%08x", o.data_ids[0]);
      return std::string(b);
    }();
  std::printf("  id 0x%08x  type %u  %12llu bytes  %-14s %-22s %s\n", o.id, o.type,
              static_cast<unsigned long long>(o.size), dsb::storage_name(o.storage), where.c_str(), o.path.c_str());
}

void print_common(const dsb::ImageSummary& s) {
  for (const std::string& img : s.images) std::printf("wrote %s\n", img.c_str());
  std::printf("partition start sector %lld, block size %llu\n", static_cast<long long>(s.start_sector),
              static_cast<unsigned long long>(s.block_size));
  for (const dsb::ObjectExpect& o : s.objects) print_object(o, s.block_size);
}

int usage() {
  std::fprintf(stderr,
               "usage: mkdatastore demo|formatted|multi|bench|vm|lost|guests DIR\n"
               "       mkdatastore vm DIR DISK_MIB\n"
               "       mkdatastore wide|small DIR N\n"
               "       mkdatastore huge DIR [FILES]\n"
               "       mkdatastore demo|formatted DIR BLOCK_MIB\n"
               "       mkdatastore matrix DIR BLOCK_MIB SUB_BLOCKS_PER_ENTRY SECTOR...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string what = argv[1];
  const std::string dir = argv[2];
  const bool sized = what == "demo" || what == "formatted" || what == "wide" || what == "small" || what == "vm" ||
                     what == "huge";
  if (what == "matrix" ? argc < 6 : !(argc == 3 || (sized && argc == 4))) return usage();
  try {
    const std::uint64_t block_size =
        argc >= 4 && what != "wide" && what != "small" && what != "vm" && what != "huge" ? std::stoull(argv[3]) * dsb::layout::kMiB : dsb::layout::kMiB;
    std::filesystem::create_directories(dir);
    if (what == "matrix") {
      dsb::MatrixOptions mo;
      mo.block_size = block_size;
      mo.sub_items_per_entry = static_cast<std::uint32_t>(std::stoul(argv[4]));
      mo.start_sectors.clear();
      for (int i = 5; i < argc; ++i) mo.start_sectors.push_back(std::stoll(argv[i]));
      dsb::MatrixSummary s = dsb::build_matrix(dir, mo);
      for (std::size_t k = 0; k < s.images.size(); ++k)
        std::printf("wrote %s  (-d %s@%lld)\n", s.images[k].c_str(), s.images[k].c_str(),
                    static_cast<long long>(s.start_sectors[k]));
      std::printf("block size %llu, %u sub-blocks per entry\n", static_cast<unsigned long long>(s.block_size),
                  s.sub_items_per_entry);
      for (const dsb::ObjectExpect& o : s.objects) print_object(o, s.block_size);
      for (const dsb::FoundDir& f : s.found)
        std::printf("old directory DIR%u: id 0x%08x (%s)\n", f.number, f.dir_id, f.name.c_str());
    } else if (what == "demo") {
      dsb::DemoSummary s = dsb::build_demo(dir, block_size);
      print_common(s);
      std::printf("deleted file: id 0x%08x (%s); deleted directory: id 0x%08x\n", s.deleted_file.id,
                  s.deleted_file.path.c_str(), s.deleted_dir.id);
      for (const dsb::LostDisk& d : s.lost_disks)
        std::printf("lost virtual disk: free pointer block 0x%08x -> file block 0x%08x, %zu partitions, %llu KiB\n",
                    d.pointer_block, d.file_block, d.partitions.size(), static_cast<unsigned long long>(d.total_kib));
    } else if (what == "formatted") {
      dsb::FormattedSummary s = dsb::build_formatted(dir, block_size);
      print_common(s);
      for (const dsb::FoundDir& f : s.found)
        std::printf("old directory DIR%u: id 0x%08x (%s), first block %s\n", f.number, f.dir_id, f.name.c_str(),
                    f.first_block < 0 ? "own" : ("sub-block 0x" + hex32(static_cast<std::uint32_t>(f.first_block))).c_str());
      std::printf("deeper old directory 0x%08x, unrecoverable old directory 0x%08x\n", s.deep_dir, s.lost_dir);
    } else if (what == "multi") {
      dsb::MultiSummary s = dsb::build_multi(dir);
      print_common(s);
      for (std::size_t i = 0; i < s.segments.size(); ++i)
        std::printf("member %zu holds segments %u..%u\n", i, s.segments[i].first, s.segments[i].second);
    } else if (what == "wide") {
      const std::uint64_t n = argc >= 4 ? std::stoull(argv[3]) : 1000000;
      dsb::DatastoreOptions o;
      o.path = dir + "/wide.img";
      // A real datastore has a descriptor slot for every entry it lists:
      // enough .fdc.sf areas (256 slots of 2 KiB each), and room for them and
      // for the directory itself (140 bytes an entry).
      o.fdc.area_count = static_cast<std::uint32_t>(std::max<std::uint64_t>(4, (n + 16 + 255) / 256));
      o.segments = static_cast<std::uint32_t>(2 + n * (140 + 2048) / (256 * dsb::layout::kMiB));
      dsb::ImageBuilder ds(o);
      const std::uint32_t f = ds.add_file("/f.txt", dsb::text_file("x"));
      const std::uint32_t wide = ds.mkdir("/wide");
      for (std::uint64_t k = 0; k < n; ++k) ds.add_dirent(wide, 3, f, "entry-" + std::to_string(k));
      ds.finish();
      std::printf("wrote %s: /wide holds %llu entries\n", o.path.c_str(), static_cast<unsigned long long>(n));
    } else if (what == "small") {
      const std::uint64_t n = argc >= 4 ? std::stoull(argv[3]) : 20000;
      constexpr std::uint64_t kFolders = 40;
      dsb::DatastoreOptions o;
      o.path = dir + "/small.img";
      o.fdc.area_count = static_cast<std::uint32_t>((n + kFolders + 16 + 255) / 256);
      o.sbc.area_count = static_cast<std::uint32_t>((n / 10 + kFolders + 255) / 256 + 1);
      o.segments = static_cast<std::uint32_t>(2 + (n * 2048 + (n / 10 + 300) * 65536) / (256 * dsb::layout::kMiB));
      dsb::ImageBuilder ds(o);
      for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t size = k % 10 == 0 ? 4096 + (k % 7) * 1000 : 200 + (k * 37) % 800;
        ds.add_file("/small/d" + std::to_string(k % kFolders) + "/f" + std::to_string(k),
                    dsb::generated_file(size, dsb::pattern_content(k)));
      }
      ds.finish();
      std::printf("wrote %s: /small holds %llu files in %llu folders\n", o.path.c_str(),
                  static_cast<unsigned long long>(n), static_cast<unsigned long long>(kFolders));
    } else if (what == "huge") {
      const dsb::HugeOptions ho = dsb::huge_options(argc >= 4 ? std::stoull(argv[3]) : 1000000);
      const dsb::HugeSummary s = dsb::build_huge(dir, ho);
      std::printf("wrote %s .. %s (%zu members of %llu MiB, -d each @2048), block size %llu\n",
                  s.images.front().c_str(), s.images.back().c_str(), s.images.size(),
                  static_cast<unsigned long long>(std::uint64_t{ho.segments_per_member} * 256),
                  static_cast<unsigned long long>(s.block_size));
      std::printf("%llu files: %llu in %s, the rest in %llu folders %s..; %zu VM folders; %zu deleted files\n",
                  static_cast<unsigned long long>(s.files), static_cast<unsigned long long>(s.wide_entries),
                  dsb::huge_wide_path().c_str(), static_cast<unsigned long long>(s.folders),
                  dsb::huge_folder_path(0).c_str(), s.vm_dirs.size(), s.deleted.size());
      std::printf("descriptor slots %llu, sub-blocks %llu, pointer blocks %llu\n",
                  static_cast<unsigned long long>(s.fdc_slots), static_cast<unsigned long long>(s.sbc_items),
                  static_cast<unsigned long long>(s.pbc_items));
      for (const dsb::ObjectExpect& d : s.vm_disks) print_object(d, s.block_size);
    } else if (what == "vm") {
      dsb::VmOptions vo;
      if (argc >= 4) {
        vo.disk_size = std::stoull(argv[3]) * dsb::layout::kMiB;
        vo.thin = false;
      }
      dsb::VmSummary s = dsb::build_vm(dir, vo);
      print_common(s);
      std::printf("guest partition at byte %llu, %llu bytes, ext4 made from %zu known files\n",
                  static_cast<unsigned long long>(s.partition_offset),
                  static_cast<unsigned long long>(s.partition_size), s.guest_files.size());
    } else if (what == "lost") {
      dsb::LostVmSummary s = dsb::build_lost_vms(dir);
      print_common(s);
      for (const dsb::LostVmDisk& d : s.disks)
        std::printf("deleted disk: %llu bytes, %s, %zu pointer blocks, first 0x%08x, original %s\n",
                    static_cast<unsigned long long>(d.size), d.thin ? "thin" : "thick", d.pointer_blocks.size(),
                    d.pointer_blocks.empty() ? 0u : d.pointer_blocks[0], d.original.c_str());
      std::printf("live disk: id 0x%08x; live file reusing blocks: id 0x%08x\n", s.live_disk, s.reusing_file);
    } else if (what == "guests") {
      dsb::LostVmSummary s = dsb::build_lost_guests(dir);
      print_common(s);
      for (const dsb::LostVmDisk& d : s.disks)
        std::printf("deleted disk: %llu bytes, %s, %zu pointer blocks, first 0x%08x, original %s\n",
                    static_cast<unsigned long long>(d.size), d.thin ? "thin" : "thick", d.pointer_blocks.size(),
                    d.pointer_blocks.empty() ? 0u : d.pointer_blocks[0], d.original.c_str());
      std::printf("live disk: id 0x%08x\n", s.live_disk);
    } else if (what == "bench") {
      dsb::BenchSummary s = dsb::build_bench(dir);
      print_common(s);
      std::printf("descriptor slots %llu, free sub-blocks %llu, old directories %zu\n",
                  static_cast<unsigned long long>(s.fdc_slots), static_cast<unsigned long long>(s.free_subblocks),
                  s.found.size());
    } else {
      return usage();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkdatastore: %s\n", e.what());
    return 1;
  }
  return 0;
}
