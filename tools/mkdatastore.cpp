// mkdatastore: writes synthetic datastore images for trying the reader by hand.
//   mkdatastore demo DIR       DIR/demo.img
//   mkdatastore formatted DIR  DIR/formatted.img
//   mkdatastore multi DIR      DIR/multi0.img, DIR/multi1.img
//   mkdatastore bench DIR      DIR/bench.img (several GiB, mostly written data)
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "builder/datastore_builder.h"

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
  std::fprintf(stderr, "usage: mkdatastore demo|formatted|multi|bench DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return usage();
  const std::string what = argv[1];
  const std::string dir = argv[2];
  try {
    std::filesystem::create_directories(dir);
    if (what == "demo") {
      dsb::DemoSummary s = dsb::build_demo(dir);
      print_common(s);
      std::printf("deleted file: id 0x%08x (%s); deleted directory: id 0x%08x\n", s.deleted_file.id,
                  s.deleted_file.path.c_str(), s.deleted_dir.id);
      for (const dsb::LostDisk& d : s.lost_disks)
        std::printf("lost virtual disk: free pointer block 0x%08x -> file block 0x%08x, %zu partitions, %llu KiB\n",
                    d.pointer_block, d.file_block, d.partitions.size(), static_cast<unsigned long long>(d.total_kib));
    } else if (what == "formatted") {
      dsb::FormattedSummary s = dsb::build_formatted(dir);
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
