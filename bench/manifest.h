#pragma once
// What the build step leaves for the run step: where the datastores are,
// which files and directories to measure and what a correct run finds.
// Kept in a small text file so that one build can serve several runs.

#include <cstdint>
#include <string>
#include <vector>

namespace dsbench {

// A stretch of a file's bytes as they lie in one image, in file order; an
// empty image stands for a hole, zeros that no image holds.
struct Extent {
    std::string image;
    uint64_t image_offset = 0;
    uint64_t length = 0;
};

// Appends a stretch, joining it to the last one when it continues it.
void append_extent(std::vector<Extent>& extents, const Extent& next);

struct Volume {
    std::vector<std::string> images;   // member images in segment order
    int64_t start_sector = 2048;
};

struct FileCase {
    Volume volume;
    uint32_t id = 0;          // descriptor id
    uint64_t size = 0;
    uint64_t block_size = 0;
    std::string layout;       // how it is stored, for the report
    std::vector<Extent> extents;
};

struct Manifest {
    FileCase pointer;          // one member, through pointer blocks
    FileCase multi;            // file blocks on two members
    FileCase holes;            // every other block a hole, through pointer blocks

    Volume bench;              // the deleted-file scan and the listing
    uint64_t fdc_slots = 0;
    uint64_t deleted_files = 0;
    uint32_t big_dir = 0;
    uint32_t big_dir_entries = 0;

    Volume format;             // the format recovery (may be bench itself)
    uint32_t format_candidates = 0;   // old directories whose first block was reused
    uint64_t format_free_subblocks = 0;
    uint64_t format_found = 0;        // directories a correct scan reports
    uint64_t format_digest = 0;       // of (number, dir id, first block) in order
};

// Digest of the found-directory rows, in the order reported.
class FoundDigest {
public:
    void add(int64_t number, uint64_t dir_id, int64_t first_block);
    uint64_t value() const { return h_; }

private:
    uint64_t h_ = 1469598103934665603ull;
};

void write_manifest(const std::string& path, const Manifest& m);
// Throws std::runtime_error when the file is missing or incomplete.
Manifest read_manifest(const std::string& path);

} // namespace dsbench
