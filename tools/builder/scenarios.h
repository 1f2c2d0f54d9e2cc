// Ready-made datastores for tests, the demo and benchmarks, each with a
// summary of what a correct reader should find in it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "datastore_builder.h"

namespace dsb {

struct ObjectExpect {
    std::string path; // path when it was live
    std::uint32_t id = 0;
    std::uint32_t parent = 0;
    std::uint32_t type = 0;
    std::uint64_t size = 0;
    Storage storage = Storage::Auto;
    std::uint32_t addr_mode = 0;
    ContentFn content; // directories: their entries as written
    std::vector<std::uint32_t> data_ids;
    std::vector<std::uint32_t> pointer_ids;
    std::uint32_t create_time = 0, update_time = 0, atime = 0;
};
ObjectExpect expect(const ImageBuilder& ds, std::uint32_t id);

struct ImageSummary {
    std::vector<std::string> images;         // member image paths in segment order
    std::int64_t start_sector = 2048;        // of the first member
    std::vector<std::int64_t> start_sectors; // of each member, in the order of images
    std::uint64_t block_size = 0;
    std::map<std::string, std::uint32_t> ids; // every object by its (last) path
    std::vector<ObjectExpect> objects;        // live and deleted, in creation order
    std::uint64_t lv_offset_of_data(std::uint32_t id) const;
};

// A free pointer block whose first id leads to a block starting with an MBR.
struct LostDisk {
    std::uint32_t pointer_block = 0;
    std::uint32_t file_block = 0; // block id
    std::vector<PartitionEntry> partitions;
    std::uint64_t total_kib = 0; // sum of trunc(sectors / 2) up to the first empty entry
};

struct DemoSummary : ImageSummary {
    std::uint32_t inline_file = 0, subblock_file = 0, fileblock_file = 0, pointer_file = 0, thin_file = 0,
                  utf8_file = 0, snapshot_dir = 0;
    ObjectExpect deleted_file;                       // regular file in a free slot, descriptor intact
    ObjectExpect deleted_dir;                        // directory in a free slot (not a deleted file)
    std::uint32_t never_used_slot = 0;               // a free descriptor slot with id 0
    std::vector<LostDisk> lost_disks;                // in walk order of .pbc.sf
    std::vector<std::uint32_t> decoy_pointer_blocks; // free, must give no row
};
// distinct_times: see DatastoreOptions (the demo's printed session has one time per object).
DemoSummary build_demo(const std::string& dir, std::uint64_t block_size = layout::kMiB, bool distinct_times = false);

struct FoundDir {
    std::uint32_t number = 0; // 1-based, walk order of .fdc.sf
    std::uint32_t dir_id = 0;
    std::int32_t first_block = -1; // sub-block id replacing blocks[0], or -1
    std::string name;
};

struct FormattedSummary : ImageSummary {
    std::vector<FoundDir> found;        // what a format scan must report, in order
    std::uint32_t intact_dir = 0;       // (a) "." in its own first block
    std::uint32_t reused_dir = 0;       // (b) first sub-block overwritten, copy survives
    std::uint32_t reused_block = 0;     // (b)'s original blocks[0], now another file's
    std::uint32_t copy_block = 0;       // where (b)'s entries survive (first match)
    std::uint32_t later_copy_block = 0; // a second, shorter copy that must lose
    std::uint32_t deep_dir = 0;         // (c) below (a): ".." is not the root
    std::uint32_t lost_dir = 0;         // first block reused, no copy: passed over
    ObjectExpect file_in_reused;        // exportable byte for byte through (b)
    ObjectExpect file_in_deep;
};
FormattedSummary build_formatted(const std::string& dir, std::uint64_t block_size = layout::kMiB);

struct MultiSummary : ImageSummary {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> segments; // per member
    ObjectExpect spanning;                                         // file with blocks on both members
};
MultiSummary build_multi(const std::string& dir);

// One datastore with every way of storing a file and every kind of damage the
// scans look for, for any block size, partition start and member count.
struct MatrixOptions {
    std::uint64_t block_size = layout::kMiB;
    std::vector<std::int64_t> start_sectors = {2048}; // one member per sector
    std::uint32_t sub_items_per_entry = 16;           // 16, 32 or 64
};
struct MatrixSummary : ImageSummary {
    std::uint32_t sub_items_per_entry = 0;
    ObjectExpect inline_file;
    ObjectExpect subblock_file;  // in sub-blocks at the top items of an entry and the next entry
    ObjectExpect fileblock_file; // ends inside its last file block
    ObjectExpect pointer_file;   // through a pointer block
    ObjectExpect thin_direct;    // null ids among its file blocks
    ObjectExpect thin_pointer;   // null ids inside its pointer block
    ObjectExpect spanning;       // blocks on both sides of the segment edge (and members)
    ObjectExpect high_dir;       // descriptor id above 2^31
    ObjectExpect high_file;      // descriptor id above 2^31, in high_dir
    ObjectExpect deleted_file;   // free slot, descriptor intact
    std::vector<LostDisk> lost_disks;
    std::vector<FoundDir> found; // format recovery, in order
    ObjectExpect file_in_reused; // reached only through the substituted first block
};
MatrixSummary build_matrix(const std::string& dir, const MatrixOptions& options);

struct BenchOptions {
    std::uint64_t big_file_size = (2ull << 30) + 3 * layout::kMiB + 17;
    std::uint32_t fdc_slots = 100000;
    std::uint32_t old_dirs = 1000;
    std::uint32_t free_subblocks = 10000;
    std::uint32_t dir_entries = 10000;
    std::uint32_t deleted_files = 2000; // regular files whose descriptors survive
    // Larger blocks let .fdc.sf (256 blocks at most here) hold more descriptors.
    std::uint64_t block_size = layout::kMiB;
};
struct BenchSummary : ImageSummary {
    ObjectExpect big_file;
    std::uint32_t big_dir = 0;
    std::uint64_t fdc_slots = 0;
    std::uint64_t deleted_files = 0;
    std::uint64_t free_subblocks = 0;
    std::vector<FoundDir> found;
};
BenchSummary build_bench(const std::string& dir, const BenchOptions& options = {});

} // namespace dsb
