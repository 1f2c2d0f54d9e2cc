// mkhostile: datastore images built to exhaust a reader, for measuring that
// what it holds and how long it runs stay bounded.
//   mkhostile wide DIR [LOG2]  DIR/hostile-wide.img: ".fdc.sf" claims 2^25 descriptor
//                              slots and /big claims 2^LOG2 entries (default 25): its
//                              pointer blocks name 35 file blocks of 262144 entries
//                              ("n0", "n1", ...) over and over
//   mkhostile named DIR [LOG2] DIR/hostile-named.img: as wide, with 2^LOG2 entries
//                              (default 18) of names as long as entries hold
//                              (a number, then DEL bytes: 255-byte host names), each
//                              naming a descriptor id of its own
//   mkhostile deep DIR [DEPTH] DIR/hostile-deep.img: a chain of DEPTH directories
//                              (default 2048) below /c1, each named by 128 DEL bytes,
//                              whose printed and host names are several times longer
//   mkhostile seek DIR         DIR/hostile-seek.img: /mode7.bin (2^40 bytes in slots of
//                              one byte under an addressing mode no reader knows) and
//                              /null-slots.bin (2^63-1 bytes in 2^52-byte null slots
//                              of pointer blocks), for timing lseek's SEEK_DATA and
//                              SEEK_HOLE on a mount
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <filesystem>
#include <string>
#include <vector>

#include "builder/datastore_builder.h"
#include "builder/le.h"

namespace {

constexpr std::uint64_t kEntry = dsb::layout::kDirentSize;

void put32(dsb::ImageBuilder& ds, std::uint64_t lv, std::uint32_t v) {
  std::uint8_t b[4];
  dsb::put_le<std::uint32_t>(b, 0, v);
  ds.write_lv(lv, b);
}

void wide(const std::string& img, int log2, bool named = false) {
  dsb::DatastoreOptions o;
  o.path = img;
  dsb::ImageBuilder ds(o);
  const std::uint32_t file = ds.add_file("/f.txt", dsb::text_file("x\n"));
  const std::uint32_t big = ds.mkdir("/big");
  ds.finish();

  // 2^25 slots: 16 items per entry, 16 entries per area, 2^17 areas.
  const std::uint64_t fdc = std::uint64_t{ds.system_file_first_block(dsb::SysFile::Fdc)} * ds.block_size();
  put32(ds, fdc + 24, 1u << 17);

  // 35 file blocks hold 35 MiB of directory, 262144 whole entries ("n0" to
  // "n262143"): the pointer blocks name them over and over, in order, so
  // that every entry of the 2^LOG2 is whole and the names repeat.
  constexpr std::uint64_t kPeriod = 35;
  const std::uint64_t bs = ds.block_size();
  std::vector<std::uint32_t> blocks;
  std::vector<std::uint8_t> bytes(bs);
  for (std::uint64_t b = 0; b < kPeriod; ++b) {
    blocks.push_back(ds.unused(dsb::SysFile::Fbb));
    ds.set_free(blocks.back(), false);
    for (std::uint64_t at = b * bs; at < (b + 1) * bs;) {
      const std::uint64_t entry = at / kEntry;
      const auto e = named ? dsb::encode_dirent(dsb::layout::kTypeRegular, static_cast<std::uint32_t>(entry * 16 + 4), 0,
                                                std::to_string(entry) + std::string(120, '\x7F'))
                           : dsb::encode_dirent(dsb::layout::kTypeRegular, file, 0, "n" + std::to_string(entry));
      const std::uint64_t from = at % kEntry, n = std::min(kEntry - from, (b + 1) * bs - at);
      std::copy_n(e.begin() + static_cast<std::ptrdiff_t>(from), n, bytes.begin() + static_cast<std::ptrdiff_t>(at - b * bs));
      at += n;
    }
    ds.write_lv(ds.item_lv_offset(blocks.back()), bytes);
  }
  const std::uint64_t per = ds.item_size(ds.unused(dsb::SysFile::Pbc)) / 4;
  std::vector<std::uint32_t> pointers;
  std::vector<std::uint8_t> ids(per * 4);
  for (std::uint64_t j = 0; j * per * bs < (std::uint64_t{1} << log2) * kEntry && j < dsb::layout::kBlockSlots; ++j) {
    pointers.push_back(ds.unused(dsb::SysFile::Pbc));
    ds.set_free(pointers.back(), false);
    for (std::uint64_t k = 0; k < per; ++k)
      dsb::put_le<std::uint32_t>(std::span<std::uint8_t>(ids), k * 4, blocks[(j * per + k) % kPeriod]);
    ds.write_item(pointers.back(), 0, ids);
  }

  dsb::DescriptorFields d;
  d.id = big;
  d.type = dsb::layout::kTypeDirectory;
  d.size = static_cast<std::int64_t>((std::uint64_t{1} << log2) * kEntry);
  d.block_size = static_cast<std::int64_t>(ds.block_size());
  d.block_count = static_cast<std::int64_t>((static_cast<std::uint64_t>(d.size) + ds.block_size() - 1) / ds.block_size());
  d.addr_mode = dsb::layout::kAddrPointerBlocks;
  for (std::size_t k = 0; k < pointers.size(); ++k) d.blocks[k] = pointers[k];
  ds.write_descriptor(big, d);
}

void deep(const std::string& img, int depth) {
  dsb::DatastoreOptions o;
  o.path = img;
  // A descriptor and a sub-block of entries for each directory.
  o.fdc.area_count = o.sbc.area_count = static_cast<std::uint32_t>(depth / 256 + 2);
  dsb::ImageBuilder ds(o);
  const std::string name(128, '\x7F');
  std::uint32_t parent = ds.mkdir("/c1");
  for (int k = 2; k <= depth; ++k) {
    const std::uint32_t child = ds.mkdir("/c" + std::to_string(k));
    ds.add_dirent(parent, dsb::layout::kTypeDirectory, child, name);
    parent = child;
  }
  ds.add_file("/c" + std::to_string(depth) + "/bottom.txt", dsb::text_file("bottom\n"));
  ds.finish();
}

void seek(const std::string& img) {
  dsb::DatastoreOptions o;
  o.path = img;
  dsb::ImageBuilder ds(o);
  const std::uint32_t mode7 = ds.add_file("/mode7.bin", dsb::text_file("forged\n"));
  const std::uint32_t null_slots = ds.add_file("/null-slots.bin", dsb::text_file("forged\n"));
  ds.finish();
  dsb::DescriptorFields d;
  d.id = mode7;
  d.size = std::int64_t{1} << 40;
  d.block_size = 1;
  d.block_count = 1;
  d.addr_mode = 7;
  ds.write_descriptor(mode7, d);
  d.id = null_slots;
  d.size = INT64_MAX;
  d.block_size = std::int64_t{1} << 52;
  d.block_count = 0;
  d.addr_mode = dsb::layout::kAddrPointerBlocks;
  ds.write_descriptor(null_slots, d);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc >= 2 ? argv[1] : "";
  if (argc < 3 || argc > 4 || (kind != "wide" && kind != "named" && kind != "deep" && kind != "seek")) {
    std::fprintf(stderr,
                 "usage: mkhostile wide DIR [LOG2_ENTRIES] | named DIR [LOG2_ENTRIES] | deep DIR [DEPTH] | seek DIR\n");
    return 2;
  }
  try {
    const std::string what = argv[1], dir = argv[2];
    std::filesystem::create_directories(dir);
    const std::string img = dir + "/hostile-" + what + ".img";
    if (what == "wide") wide(img, argc == 4 ? std::stoi(argv[3]) : 25);
    else if (what == "named") wide(img, argc == 4 ? std::stoi(argv[3]) : 18, true);
    else if (what == "seek") seek(img);
    else deep(img, argc == 4 ? std::stoi(argv[3]) : 2048);
    std::printf("wrote %s\n", img.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkhostile: %s\n", e.what());
    return 1;
  }
  return 0;
}
