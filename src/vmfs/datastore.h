#pragma once
// The core's public face: the one header the front ends (the command, the
// window, the mount, the export layer) include. A Datastore is one opened
// datastore: add its disks, open its file system, then name what to read
// by Node (a descriptor id, plus for a directory found after a reformat the
// block that replaces its first one), list, stat, open and read files, walk
// trees and run the scans. Nothing of an open datastore is process-wide;
// several can be open at once.
//
// Reads take a const Datastore and may run on several threads at once (the
// caches they fill are guarded). What changes the datastore (its disks, the
// opening, the format recovery's table) must not overlap any read.
//
// Results are codes and values; the front ends choose every word.

#include "disk/byte_ranges.h"
#include "disk/drive_list.h"
#include "disk/failure.h"
#include "vmfs/utf8.h"

#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ds {

class SectorSource;
class Datastore;
struct Store;
struct Descriptor;

// ---------------------------------------------------------------- results

enum class Code : uint8_t {
    ok,
    unreadable,      // a read of a disk failed, or the datastore's own data is damaged: failure says which
    not_directory,   // a listing of something that is not a directory
    bad_size,        // the descriptor claims a negative size
};

// What an operation could not do, with the system's reason for a failed read.
struct Status {
    Code code = Code::ok;
    Failure failure;
    bool ok() const { return code == Code::ok; }
    explicit operator bool() const { return ok(); }
    bool operator==(const Status&) const = default;
};

// ---------------------------------------------------------------- nodes

inline constexpr uint32_t kRootDirId = 4;   // descriptor entry 0, item 0

enum FileType : uint32_t { kTypeDir = 2, kTypeRegular = 3, kTypeSystem = 5, kTypeSymlink = 6 };

// What every operation names: a descriptor id and, for a directory found by
// the format recovery whose first block was reused, the sub-block that takes
// that block's place (-1: the descriptor's own first block).
struct Node {
    uint32_t id = 0;
    int64_t first_block = -1;
    auto operator<=>(const Node&) const = default;
};

// One entry of a directory, as listings show it.
struct ListedEntry {
    bool is_dir = false;          // folder image when true, document image otherwise
    uint32_t type = 0;            // the entry's type: 2, 3 or 5
    uint32_t descriptor_id = 0;   // the handle for listing and export
    std::string name;             // display name (UTF-8, invalid bytes replaced)
    std::string raw_name;         // the name's bytes as stored (trimmed), for printing and exact matches
    Node node() const { return {descriptor_id, -1}; }
};

enum class ListStatus {
    complete,        // the walk reached the end: the node is expanded
    ended_early,     // a read was short: entries so far stay, no expansion
    not_directory,   // the descriptor is not a directory: nothing happens
    open_error,      // the descriptor cannot be read: "dir open error"
};

// What a descriptor says of itself.
struct FileInfo {
    uint32_t id = 0;
    uint32_t type = 0;
    int64_t size = 0;
    int64_t block_size = 0;
    int64_t block_count = 0;
    uint32_t addr_mode = 0;
    int32_t create_time = 0, update_time = 0, access_time = 0;
    bool is_dir() const { return type == kTypeDir; }
    // Small files (not directories) keep their bytes in the descriptor
    // itself, not in blocks.
    bool stored_inline() const { return size <= 1024 && type != kTypeDir; }
};

// A file opened for reading: its descriptor, read once. Cheap to copy.
class File {
public:
    const FileInfo& info() const { return info_; }
    int64_t size() const { return info_.size; }

private:
    friend struct Store;
    friend const Descriptor& descriptor_of(const File& file);
    FileInfo info_;
    Node node_;
    std::shared_ptr<const Descriptor> descriptor_;
};

// Where a file's bytes lie: runs of file offsets, each with the block that
// starts it and its place on the logical volume.
struct Extent {
    enum class Kind {
        data,            // bytes in file blocks or sub-blocks
        hole,            // null block ids: reads as zeros
        inline_data,     // held in the descriptor itself
        invalid,         // a block id of a kind that holds no file data
        unaddressable,   // past what the block list can address, or its pointer block unreadable
    };
    Kind kind = Kind::data;
    int64_t offset = 0;      // file offset of the run's first byte
    int64_t length = 0;
    uint32_t block_id = 0;   // first block of the run (the descriptor for inline data)
    int64_t lv_offset = -1;  // logical-volume offset of the first byte; -1 when there is none
};

// Where a range of a file lies on one device, byte for byte.
struct DevicePlace {
    std::string device;
    int64_t offset = 0;
};

// ---------------------------------------------------------------- disks

// The sector every start sector and disk size counts in.
inline constexpr int64_t kSectorSize = 512;

inline constexpr int64_t kSegmentSize = 0x10000000;   // 256 MiB
inline constexpr int kMaxExtents = 32;

// One member disk of the logical volume, as its volume header describes it.
// How a member's start sector was chosen (see Datastore::find_start).
enum class StartFrom : uint8_t { given, mbr, gpt, probe, none };

struct VolumeMember {
    std::string device;
    int64_t start_sector = 0;
    StartFrom start_from = StartFrom::given;
    int64_t header_offset = 0;
    uint32_t magic = 0;
    uint32_t version = 0;
    uint8_t name[28] = {};
    uint8_t uuid[16] = {};
    uint8_t lun = 0;
    uint64_t size = 0;
    int64_t lvm_size = 0;
    int64_t lvm_blocks = 0;
    uint8_t lvm_uuid[16] = {};
    int32_t num_segments = 0;
    int32_t first_segment = 0;
    int32_t last_segment = 0;
    int32_t num_extents = 0;
};

// The member table: the disks joined so far, in segment order.
struct LogicalVolume {
    uint8_t uuid[16] = {};
    int32_t numofextents = 0;
    int64_t size = 0;
    int64_t blocks = 0;
    int32_t loaded_extents = 0;
    // One slot more than the members allow, so that a refused 33rd disk has
    // somewhere to be read into without touching member 32.
    VolumeMember volumes[kMaxExtents + 1];
};

enum class AddDiskRefusal { none, not_found, not_first, mismatch, not_continuous, too_many };

// What a search of drives for volume headers found.
inline constexpr int kMaxCandidates = 32;
struct Detection {
    std::vector<VolumeMember> candidates;    // at most kMaxCandidates, in scan order
    std::vector<std::string> read_failed;    // devices whose 512-byte read failed
    int dropped = 0;                         // headers found after the table was full
    // Why each read_failed device failed, in the same order (the system's reason).
    std::vector<Failure> read_failures;
};

// ---------------------------------------------------------------- opening

// The values of the file-system descriptor the information pane shows.
struct FsParams {
    int64_t blocksize = 0;
    int32_t subblocksize = 0;
    int32_t fdcheader_size = 0;
    int32_t fdcbitmap_count = 0;
};

// Where an opening of the file system stopped.
enum class OpenFailure {
    none,
    no_disks,             // no disk has been set
    fsinfo_unreadable,    // the file-system descriptor
    fdc_unopenable,       // ".fdc.sf", provisionally or as the root names it
    root_unreadable,      // the root directory's descriptor
    fbb_unopenable,
    pbc_unopenable,
    sbc_unopenable,
};

// How an opening of the file system went, for the front end to show.
struct OpenOutcome {
    OpenFailure failure = OpenFailure::none;
    Failure read_failure;                // why, when a read of a disk failed
    bool pane_filled = false;            // the descriptor was read: the pane shows it anew
    bool tree_rebuilt = false;           // the tree now holds "/" alone
    bool completed = false;              // the root walk reached its end (hints on)
};

// ---------------------------------------------------------------- walks

// Deeper than any path a host could create (4096 bytes, two per level), so a
// real datastore never reaches it.
inline constexpr int kMaxTreeDepth = 2048;

enum class TreeNote {
    cycle,          // names the directory itself or one of its ancestors: shown, not entered
    listed_before,  // a directory already entered elsewhere in this walk: shown, not entered
    too_deep,       // at the depth limit: shown, not entered
    open_error,     // its descriptor cannot be read (the listing's "dir open error")
    ended_early,    // a read ended its listing early: the entries before it are shown
    too_many,       // the walk met more entries than the volume has descriptors (or read
                    // far more than it showed): it ends here
    entries_skipped,   // with listings over unreadable sectors: entries of it that lie on
                       // sectors that cannot be read were passed over, the others are shown
};

struct TreeNode {
    ListedEntry entry;      // as the listing of its parent shows it
    std::string path;       // "/name" below "/", parent path + "/" + name elsewhere, each name as
                            // the walk's print_name makes it (as stored without one)
    int depth = 1;          // 1 for the entries of the top directory
    // A directory entry whose entries follow this node (the walk enters it).
    bool entered = false;
    // A directory entry the walk shows but does not enter, and why; the same
    // note goes to the sink after the visitor has seen the node.
    std::optional<TreeNote> passed_by;
};

// Called for every entry below the top directory, parents before their
// entries, in on-disk order (depth first); false stops the walk.
using TreeVisitor = std::function<bool(const TreeNode&)>;
// Called for every directory that was not (or not wholly) listed.
using TreeNoteSink = std::function<void(TreeNote, const std::string& path)>;
// Called when the listing of an entered directory ends (depth 0 for the top
// directory), with how it ended; not called for directories still open when
// the walk stops early.
using TreeLeave = std::function<void(int depth, ListStatus how)>;

struct TreeWalkOptions {
    int max_depth = kMaxTreeDepth;
    TreeLeave leave;
    int64_t read_limit = -1;    // entries the walk may read; -1: as many as the volume can hold
    // How a name goes into a path: the front ends pass their printer, so that
    // a name cannot forge a line or a level. Without one, names as stored.
    std::function<std::string(const std::string& raw)> print_name;
};

struct TreeWalkResult {
    bool stopped = false;       // the visitor asked to stop
    int64_t entries = 0;        // entries handed to the visitor
    int64_t directories = 0;    // directories listed, the top one included
    int64_t notes = 0;          // notes handed to the sink
    int64_t entries_read = 0;   // directory entries read, those not shown included
};

// ---------------------------------------------------------------- scans

enum class ScanEnd {
    finished,                 // every area walked: "finish"
    bitmap_read_failed,       // a bitmap entry could not be read in full
    descriptor_read_failed,   // a free slot's descriptor unreadable: "rinode get error"
    cancelled,                // the operator asked to stop
    not_open,                 // the file system has not been opened: "please view file first"
    fdc_missing,              // the opening found no ".fdc.sf": "fdc open error"
    sbc_missing,              // the opening found no ".sbc.sf": "sbc open error"
    pbc_missing,              // the opening found no ".pbc.sf": "pbc open error"
    row_limit,                // more rows than the scan keeps: stopped at its bound
};

// Whether a scan that ended this way stopped on the way and keeps the rows
// it found before (a read that failed, a bound reached), rather than having
// found nothing to stand on.
constexpr bool scan_stopped_early(ScanEnd end) {
    return end == ScanEnd::bitmap_read_failed || end == ScanEnd::descriptor_read_failed || end == ScanEnd::row_limit;
}

// ---------------------------------------------------------------- scans over unreadable sectors
// An area a scan with rescue on could not read and passed over: a bitmap
// entry, an item or a part of one (positions in the system file named), or
// a part of a block (positions on the logical volume).
enum class SkippedIn : uint8_t { fdc, sbc, pbc, volume };
struct SkippedArea {
    SkippedIn in = SkippedIn::volume;
    int64_t offset = 0;
    int64_t length = 0;
    bool operator==(const SkippedArea&) const = default;
};

// What a scan found and how it ended. Rows are handed to the caller's row
// function as they are found (the window shows them at once); without one
// they are collected here.
template <class Row>
struct ScanResult {
    ScanEnd end = ScanEnd::finished;
    std::vector<Row> rows;
    std::vector<SkippedArea> unreadable;   // with rescue on: what was passed over, in walk order
};

// Called once per area with the gauge value (0..100); false cancels.
using ScanProgress = std::function<bool(int gauge)>;

// A free descriptor slot that still holds a regular file naming its own slot.
struct FileRow {
    int n = 0;
    uint32_t addr_mode = 0;         // the size class follows it ...
    int64_t block_size = 0;         // ... measured in the file system's block size
    int32_t create_time = 0, update_time = 0, access_time = 0;   // the three times as read
    uint32_t descriptor_id = 0;     // kept so that the file can be exported
    int64_t bytes = 0;              // the descriptor's exact size, beside the class
    bool partly_unreadable = false; // with rescue on: its descriptor was read only in part
    bool is_dir = false;            // a deleted directory (only when the scan is asked for them)
};

// A directory of an earlier file system, found below its old root after the
// datastore was formatted again.
struct FoundDir {
    int32_t number = 0;          // 1-based, as in the node caption "DIR<n>"
    uint32_t dir_id = 0;         // the directory's descriptor id
    int32_t first_block = -1;    // sub-block id that replaces blocks[0], or -1
    bool partly_unreadable = false;   // with rescue on: its descriptor was read only in part
};

// Both tables the format recovery keeps are bounded, so that a damaged or
// forged ".fdc.sf" or ".sbc.sf" cannot exhaust memory; a volume holds far
// fewer directories than either bound. Past rows found directories, or when
// a candidate's first entries may lie past the dot_entries directory ids
// that the sub-block index keeps, the scan ends with row_limit, keeping
// those found before.
struct FoundDirBounds {
    int32_t rows = 1 << 20;          // 12 MiB of records
    size_t dot_entries = 1u << 22;   // 32 MiB of (directory, sub-block) pairs
};

// A free pointer block whose first block begins with a master boot record.
struct PartitionRow {
    int n = 0;
    std::vector<uint8_t> types;   // of the partitions, up to the first all-zero entry
    int64_t kib = 0;              // their sizes summed, each in whole KiB
    // Where the virtual disk can be recovered from: the free pointer block,
    // the file block its first id names, and the bytes its ids address.
    uint32_t pointer_block = 0;
    uint32_t first_block = 0;
    int64_t addressed_bytes = 0;
    // Where the partitions of its master boot record end: the disk holds at
    // least that many bytes.
    int64_t partitions_end = 0;
    // With rescue on: its pointer block or its first block was read only in part.
    bool partly_unreadable = false;
};

// ---------------------------------------------------------------- paths and detection (for the command line)

// Indices into a detection's candidates of those holding segment 0, in order.
std::vector<int> first_segment_candidates(const Detection& d);

// Where a path is looked up from: the root directory, or the directories the
// format recovery found ("DIR1", "DIR2"..., each read through the block that
// replaces its first one).
enum class PathFrom { root, found_dirs };

// How well an entry matches one component of a path as typed: 0 best, ties
// go to the entry listed first; negative when it does not match.
using EntryRank = std::function<int(const ListedEntry&)>;
// Makes the ranking for one component (the front end knows how names are
// printed and typed back); without one only the stored bytes match.
using NameMatcher = std::function<EntryRank(const std::string& component)>;

enum class PathEnd {
    found,
    no_entry,        // no entry matched component
    not_directory,   // the path goes on below something that is not a directory
    unreadable,      // a directory on the way could not be read: status says why
};

// Where a lookup ended. "." is skipped and ".." goes back up (never above
// the start); empty components are skipped.
struct PathLookup {
    PathEnd end = PathEnd::found;
    Status status;
    // found: the node reached; otherwise the directory where the lookup
    // stopped. Undefined (id 0) for the found directories' start.
    Node node;
    // The entries from the start down to that node, as their parents'
    // listings show them; empty when it is the start itself.
    std::vector<ListedEntry> trail;
    std::string component;   // no_entry: the component as typed
    // With listings over unreadable sectors: directory entries passed over
    // on the way (a component may have been among them).
    int64_t skipped_entries = 0;
};

// ---------------------------------------------------------------- lost disks rebuilt whole
// A free pointer block that may hold a part of a lost virtual disk: one not
// claimed by a live file, holding file-block ids only.
struct PointerBlockCandidate {
    uint32_t pointer_block = 0;
    uint32_t first_id = 0;     // its id at index 0 (0: null)
    uint32_t last_id = 0;      // its id at the last index (0: null)
    uint32_t ids = 0;          // its non-null ids
    uint64_t walk_index = 0;   // entry * items_per_entry + item in ".pbc.sf"
};

// How one pointer-block position of a rebuilt disk was filled, strongest first.
enum class PieceEvidence {
    first,        // the row's own pointer block, with the boot record
    guest,        // the guest's own structures name this position
    contiguity,   // its block run continues a placed neighbour's
    neighbours,   // it lies between the placed neighbours in ".pbc.sf"
    none,         // a hole: nothing points to a pointer block here
    ambiguous,    // a hole: several pointer blocks fit equally
    live_blocks,  // a hole: the one that fits names blocks of live files
};
const char* piece_evidence_text(PieceEvidence e);
// "certain", "likely", "weak", or "none" for holes.
const char* piece_confidence_text(PieceEvidence e);

struct RebuiltPiece {
    uint32_t pointer_block = 0;   // 0: a hole
    PieceEvidence evidence = PieceEvidence::none;
    std::string detail;           // what pinned it, or why it is a hole
};

struct RebuiltDisk {
    int64_t length = 0;           // bytes, from what the guest says of its extent
    int64_t piece_bytes = 0;      // bytes one pointer block addresses
    std::vector<RebuiltPiece> pieces;   // in disk order
    int count(PieceEvidence e) const;
    int placed() const;           // pieces that are not holes
};

// ---------------------------------------------------------------- rescue maps

struct MapfileCheck {
    enum class Result { ok, map_refused, image_unopenable, size_differs };
    Result result = Result::ok;
    std::string note;          // map_refused: why it cannot be read, or its line that is wrong
    int64_t map_bytes = 0;     // size_differs: the bytes the map describes
    int64_t image_bytes = 0;   // ... and those the image holds
    bool ok() const { return result == Result::ok; }
};

// ---------------------------------------------------------------- names of deleted files
// A deleted file or directory, as the deleted-file scan found it.
struct DeletedItem {
    uint32_t id = 0;
    bool is_dir = false;
};

// Where the entry that named a deleted item was read.
enum class NamedIn : uint8_t { live_dir, found_dir, deleted_dir };

struct DeletedName {
    std::string name;        // display name (UTF-8, invalid bytes replaced)
    std::string raw_name;    // as stored (trimmed)
    NamedIn in = NamedIn::live_dir;
    // The path: "/a/b/name" below the root, "DIR<n>/b/name" below a found
    // directory, each name as print_name makes it. When the chain of deleted
    // directories above the item ends at one that nothing names, the path is
    // relative to that directory ("b/name") and unnamed_top is its id.
    std::string path;
    uint32_t unnamed_top = 0;
};

struct DeletedNameOptions {
    std::function<std::string(const std::string& raw)> print_name;   // as for walks
    std::function<bool()> go_on;   // false stops the gathering (names so far are kept)
};

// Only the items with a name are in the map.
using DeletedNames = std::unordered_map<uint32_t, DeletedName>;

// ---------------------------------------------------------------- the datastore

// A directory's entries handed out one at a time, so that a directory whose
// size claims millions of entries is never held whole.
// Unreadable ranges one listing keeps (1 MiB of them): a directory whose
// every other entry is unreadable would otherwise hold millions.
inline constexpr size_t kMaxSkippedSpans = 1 << 16;

class DirLister {
public:
    DirLister(const Datastore& store, const Node& dir);
    // The same from inside the core.
    DirLister(Store& store, const Node& dir);
    ~DirLister();
    DirLister(DirLister&&) noexcept;
    // The next entry the listing shows ("." and ".." left out); false at the end.
    bool next(ListedEntry& entry);
    // open_error and not_directory from the start; after next() gave false,
    // complete or ended_early.
    ListStatus status() const;
    // Directory entries read so far, "." and ".." and entries of other types included.
    int64_t entries_read() const;
    // With listings over unreadable sectors (Datastore::set_list_rescue):
    // the entries passed over because their bytes could not be read, and
    // those bytes as offsets in the directory (in order, adjacent ones
    // merged; past kMaxSkippedSpans ranges only counted).
    int64_t skipped_entries() const;
    const std::vector<ByteSpan>& skipped() const;
    int64_t skipped_spans_dropped() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------- finding a disk's start
// Partition starts tried, in order, when a disk has no table naming a VMFS
// partition: older hosts, newer hosts, a volume written on the whole disk.
inline constexpr int64_t kUsualStarts[] = {128, 2048, 0};

struct StartSearch {
    StartFrom from = StartFrom::none;   // none: no volume header at any start tried
    int64_t sector = -1;                // where the volume header was found
    int64_t listed = -1;                // the VMFS partition the table names, header or not
    bool has_table = false;             // an MBR (or a GPT behind its protective MBR) was read
    std::vector<int64_t> tried;         // the starts checked, in order
};

// Segments from first to last (inclusive) are on members not given.
struct MissingSegments {
    int32_t first = 0;
    int32_t last = -1;
    int64_t bytes = 0;        // what the volume's size puts on them
    int32_t members = 0;      // how many of the volume's members were not given
    bool any() const { return last >= first; }
};

// ---------------------------------------------------------------- for the window
// The scans a front end may ask about before it clears what it shows.
enum class ScanKind { deleted, formatted, lost_disks };

class Datastore {
public:
    // Image files and block devices, read-only.
    Datastore();
    explicit Datastore(std::unique_ptr<SectorSource> source);
    // A source the caller keeps alive longer than the datastore (tests that
    // count or fail its reads; evidence images opened by the caller).
    explicit Datastore(SectorSource& source);
    ~Datastore();
    Datastore(const Datastore&) = delete;
    Datastore& operator=(const Datastore&) = delete;

    // --- disks. Every change of the disks closes the open file system.
    // Adds a disk in segment order; none when it joined.
    AddDiskRefusal add_disk(const std::string& device, int64_t start_sector);
    void clear_disks();
    // Looks for volume headers near the start of each device, in the order given.
    Detection detect(const std::vector<std::string>& devices) const;
    // Empties the disk table and joins candidate k, then the chain that
    // continues it; the refusal that stopped the chain.
    AddDiskRefusal assemble(const Detection& found, int k);
    const LogicalVolume& volume() const;
    // Size of an image or device in bytes; -1 when it cannot be opened.
    int64_t device_size(const std::string& device) const;

    // --- the file system
    OpenOutcome open();
    void close();
    bool is_open() const;
    FsParams fs_params() const;

    // --- nodes
    static Node root() { return {kRootDirId, -1}; }
    Status stat(const Node& node, FileInfo& out) const;
    Status open_file(const Node& node, File& out) const;
    DirLister list(const Node& dir) const { return DirLister(*this, dir); }
    TreeWalkResult walk(const Node& top, const std::string& top_path, const TreeVisitor& visit,
                        const TreeNoteSink& note = {}, const TreeWalkOptions& options = {}) const;
    // The directory entries a walk reads at most before it ends with
    // TreeNote::too_many: far more than a sound volume's tree holds.
    int64_t walk_read_limit() const;

    // --- the volume's descriptor slots: a sound datastore has no more live
    // entries than these (a bound for a front end that keeps every entry).
    int64_t descriptor_slots() const;

    // --- reading an opened file; holes read as zeros, small files from the
    // descriptor's own bytes.
    // Reads count bytes at off; got is fewer only at the end of the file.
    Status read(const File& file, uint8_t* buffer, int64_t count, int64_t off, int64_t& got) const;
    // Reads from off at most max bytes that one read of the disks serves: a
    // run of blocks, or a hole (its zeros are not stored: hole tells). got
    // is 0 at or past the end.
    Status read_run(const File& file, uint8_t* buffer, int64_t max, int64_t off, int64_t& got, bool& hole) const;
    // The bytes of a file that can hold distinct data: its size, bounded by
    // what its block list can address.
    int64_t addressable(const File& file) const;
    // Bytes the logical volume can hold as far as its members are loaded.
    int64_t capacity() const;
    std::vector<Extent> extents(const File& file) const;
    // True when the len bytes at off lie one after another on one device.
    bool place(const File& file, int64_t off, int64_t len, DevicePlace& out) const;
    // The first offset at or after off that holds data (data true) or lies
    // in a hole (data false; the end of the file counts as one); -1 when
    // there is none (off at or past the end, or no data after it).
    // What the block list cannot address counts as data, so that a reader
    // meets the read error there instead of zeros.
    int64_t seek(const File& file, int64_t off, bool data) const;
    // Bytes the file's blocks hold (the rest are holes), bounded by what its
    // slots can name and the volume holds: what du and cp are told.
    int64_t allocated(const File& file) const;
    // The source's descriptor of a device for the kernel to read from, or -1.
    int raw_fd(const std::string& device) const;

    // --- the scans
    ScanResult<FileRow> scan_deleted(const ScanProgress& progress,
                                     const std::function<void(const FileRow&)>& row = {}) const;
    ScanResult<PartitionRow> scan_lost_disks(const ScanProgress& progress,
                                             const std::function<void(const PartitionRow&)>& row = {}) const;
    // The format recovery; its found directories replace those kept before
    // (also when it ended early), for the "DIR<n>" nodes to name them.
    ScanResult<FoundDir> scan_formatted(const ScanProgress& progress,
                                        const std::function<void(const FoundDir&)>& row = {},
                                        FoundDirBounds bounds = {});
    // Rebuilding lost virtual disks whole: the scan also gathers the free
    // pointer blocks that may hold their parts; each row's disk is then put
    // together from them, with the evidence for every position.
    ScanResult<PartitionRow> scan_lost_disks(const ScanProgress& progress,
                                             const std::function<void(const PartitionRow&)>& row,
                                             std::vector<PointerBlockCandidate>& candidates) const;
    std::vector<RebuiltDisk> rebuild_lost_disks(const std::vector<PartitionRow>& rows,
                                                const std::vector<PointerBlockCandidate>& candidates) const;
    File rebuilt_disk_file(const RebuiltDisk& disk) const;

    // The virtual disk of a row of scan_lost_disks, as far as the free
    // pointer block it was found through addresses it.
    File lost_disk_file(const PartitionRow& row) const;
    const std::vector<FoundDir>& found_dirs() const;
    void forget_found_dirs();
    // "DIR<n>" and the node a found directory is read through.
    static std::string found_dir_name(const FoundDir& d);
    static Node found_dir_node(const FoundDir& d);

    // --- looking a path up, component by component, holding only the best
    // match so far (a directory claiming millions of entries is never held).
    PathLookup look_up(const std::string& path, PathFrom from, const NameMatcher& match = {}) const;

    // --- for the window: whether a scan may start
    // finished when the scan may start; otherwise the end it would meet at
    // once (not_open, or the system file it reads through is missing).
    ScanEnd scan_ready(ScanKind kind) const;

    // --- disks imaged by a rescue tool: every byte of device that the tool's
    // mapfile does not mark finished reads as unreadable. Before any read of
    // the device; a map that cannot be read, is malformed or describes
    // another size than the image is refused and changes nothing.
    MapfileCheck use_mapfile(const std::string& device, const std::string& mapfile);

    // --- reading around unreadable sectors
    // As read_run, but a sector that cannot be read does not end the read:
    // it reads as zeros and its bytes, as file offsets, are appended to
    // unreadable (in order, adjacent ranges merged). File blocks and
    // sub-blocks are read this way; other reads fail as read_run's do.
    Status read_run(const File& file, uint8_t* buffer, int64_t max, int64_t off, int64_t& got, bool& hole,
                    std::vector<ByteSpan>& unreadable) const;
    // How many more times a sector whose read failed is tried (0: once).
    void set_read_retries(int n);

    // --- finding where a disk's volume starts when no sector is given
    // The VMFS partition its MBR or GPT names, else the usual starts; each
    // checked by the volume header's magic.
    StartSearch find_start(const std::string& device) const;
    // add_disk, remembering how the start sector was found.
    AddDiskRefusal add_disk(const std::string& device, int64_t start_sector, StartFrom from);
    // The segments of the volume no loaded member holds (the volume is
    // degraded when there are any), and the bytes they make up.
    MissingSegments missing_segments() const;

    // --- scans over unreadable sectors
    // With rescue on, the scans pass over bitmap entries, items and blocks
    // they cannot read, keep every row they can, and name what they skipped
    // in their result's unreadable; off, they end where they ended before.
    void set_scan_rescue(bool on);

    // --- deleted files with their names
    // The deleted-file scan, with the deleted directories as rows too when
    // dirs is set (rows of both kinds numbered together, in walk order).
    ScanResult<FileRow> scan_deleted(const ScanProgress& progress, const std::function<void(const FileRow&)>& row,
                                     bool dirs) const;
    // Names the deleted items from the entries of every directory that can
    // be read: the live tree, the deleted directories among items and the
    // directories the last format recovery found.
    DeletedNames name_deleted(const std::vector<DeletedItem>& items, const DeletedNameOptions& options = {}) const;

    // --- listings over unreadable sectors
    // With it on, a listing (and every walk, lookup and copy built on one)
    // passes over the directory entries whose bytes cannot be read, and a
    // directory block whose pointer block cannot be read, and goes on with
    // the rest: DirLister::skipped_entries and TreeNote::entries_skipped say
    // what was lost. Off, the first such read ends the listing early.
    void set_list_rescue(bool on);

    // --- what a rescue of some files needs first (a rescue tool's domain)
    // From now on every range any read of a disk asks for is noted: call it
    // before the disks are added, so that the opening is noted too.
    void record_reads();
    // The ranges of device that reading files again needs: those the reads
    // since record_reads() asked for (the volume header, the system files'
    // metadata, the directories looked through, the files' descriptors and
    // pointer blocks) and those the files' data runs lie in, widened to
    // whole sectors, merged, in order.
    std::vector<ByteSpan> rescue_domain(const std::string& device, const std::vector<File>& files) const;

    // The back room, for the format's own code, tests and fuzzing (store.h).
    Store& internals() const { return *store_; }
    // Lets the core's own functions take a Datastore where they take its store.
    operator Store&() const { return *store_; }

private:
    std::unique_ptr<Store> store_;
};

} // namespace ds
