// The largest datastore a volume of 32 members allows, for measuring the
// reader at full size: 32 members of 2 TiB each (sparse image files), a
// million files in a few thousand folders and one very wide directory, and
// system files sized for them. Fewer files give a small copy of the same
// shape (small members, small disks) that tests build in seconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scenarios.h"

namespace dsb {

struct HugeOptions {
    std::uint64_t files = 1000000;            // regular files in the folders and the wide directory
    std::uint32_t members = 32;
    std::uint32_t segments_per_member = 8192; // 2 TiB
    std::uint64_t block_size = 8 * layout::kMiB;
    std::uint32_t files_per_folder = 300;
    std::uint32_t wide_share = 10;            // one file in this many goes to the wide directory
    std::uint32_t subblock_every = 40;        // one file in this many is stored in a sub-block
    std::uint32_t spread_every = 1000;        // one in this many is in a file block, placed member by member
    std::uint32_t vms = 4;                    // VM folders with a thin disk through pointer blocks
    std::uint64_t vm_disk_size = 16ull << 30;
    std::uint32_t vm_data_every = 32;         // one block in this many holds data (its first MiB)
    std::uint32_t pointer_blocks = 300000;    // ".pbc.sf" items, nearly all free and zero
    std::uint32_t deleted = 100;              // files removed again, their descriptors intact
};

// Full size for a million files or more; for fewer, members of 512 MiB,
// disks of 128 MiB and a ".pbc.sf" of one area, so that a test builds it fast.
HugeOptions huge_options(std::uint64_t files);

// Names the layout gives its files, so that a reader's listing can be
// checked without the builder keeping a million records.
std::string huge_wide_path();                                  // "/wide"
std::string huge_folder_path(std::uint64_t folder);            // "/data/d0001"
std::string huge_file_name(std::uint64_t k);                   // "f0000123.dat"
std::uint64_t huge_file_size(const HugeOptions& o, std::uint64_t k);
ContentFn huge_file_content(std::uint64_t k);

struct HugeSummary : ImageSummary {
    std::uint64_t files = 0;
    std::uint64_t wide_entries = 0;    // files 0 .. wide_entries-1 are in /wide
    std::uint64_t folders = 0;         // the rest, files_per_folder to a folder, in order
    std::uint64_t fdc_slots = 0, sbc_items = 0, pbc_items = 0;
    std::uint64_t blocks_per_member = 0;
    std::vector<ObjectExpect> spread;  // file-block files, on every member
    std::vector<ObjectExpect> vm_disks;
    std::vector<std::string> vm_dirs;
    std::vector<ObjectExpect> deleted; // as they were before removal
};

// Writes dir/huge00.img .. dir/huge31.img.
HugeSummary build_huge(const std::string& dir, const HugeOptions& options);

} // namespace dsb
