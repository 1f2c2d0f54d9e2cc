// Builds VMFS-3 datastore images from a description: volume members,
// file-system descriptor, the four bitmap system files, directories and
// files, plus the damage that recovery tests need (freed descriptors,
// reused blocks, corrupted fields).
//
// Typical use:
//   dsb::DatastoreOptions o; o.path = dir + "/t.img";
//   dsb::ImageBuilder ds(o);
//   uint32_t f = ds.add_file("/vm1/vm1.vmx", dsb::text_file("..."));
//   ds.finish();
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bitmap_file.h"
#include "block_id.h"
#include "content.h"
#include "layout.h"
#include "records.h"
#include "volume.h"

namespace dsb {

enum class Storage { Auto, Inline, SubBlocks, FileBlocks, PointerBlocks };
const char* storage_name(Storage s);

struct FileSpec {
    std::uint64_t size = 0;
    ContentFn content; // empty: all zero
    Storage storage = Storage::Auto;
    // Explicit file-block numbers, one per block of the file (FileBlocks or
    // PointerBlocks); a block may be one that was freed earlier (reuse).
    std::vector<std::uint32_t> file_blocks;
    // Explicit sub-block ids, one per sub-block of the file (SubBlocks).
    std::vector<std::uint32_t> sub_blocks;
    // Blocks (and whole pointer blocks) whose content is all zero get the
    // null id instead of storage: a thin file with holes.
    bool thin = false;
    std::uint32_t type = layout::kTypeRegular;
    std::optional<std::uint32_t> addr_mode; // written instead of the natural value
    std::optional<std::uint32_t> create_time, update_time, atime;
};

FileSpec text_file(std::string_view text, Storage storage = Storage::Auto);
FileSpec generated_file(std::uint64_t size, ContentFn content, Storage storage = Storage::Auto);

struct ObjectInfo {
    std::uint32_t id = 0;
    std::uint32_t parent = 0;
    std::string path;
    std::string name;
    std::uint32_t type = 0;
    std::uint64_t size = 0;
    Storage storage = Storage::Auto;
    std::uint32_t addr_mode = 0;
    std::uint64_t unit = 0;                 // bytes covered by one element of data_ids
    std::vector<std::uint32_t> data_ids;    // per unit: file-block or sub-block id, 0 for a hole
    std::vector<std::uint32_t> pointer_ids; // per descriptor slot in pointer mode, 0 for a hole
    std::uint32_t create_time = 0, update_time = 0, atime = 0;
    ContentFn content; // files: their bytes; directories: filled by directory_bytes()
    bool deleted = false;
};

// With DatastoreOptions::distinct_times: a day, an hour, a minute and a
// second apart, so that every field of a printed time differs.
inline constexpr std::uint32_t kModifiedLater = 93784;
inline constexpr std::uint32_t kAccessedLater = 2 * 93784;

struct DatastoreOptions {
    // Single member at `path` holding `segments` segments, unless `members` is set.
    std::string path;
    std::uint32_t segments = 1;
    std::int64_t start_sector = 2048;
    std::vector<MemberSpec> members;
    Uuid lvm_uuid{0x44, 0x53, 0x42, 0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0};
    std::string volume_name = "datastore1";

    std::uint64_t block_size = layout::kMiB; // 1, 2, 4 or 8 MiB
    BitmapGeometry fdc{16, 16, 65536, 2048, 4};
    BitmapGeometry sbc{16, 16, 65536, 65536, 1};
    BitmapGeometry pbc{16, 16, 65536, 4096, 1};
    // .fbb.sf governs file blocks, whose data lies at their own LV offsets, so
    // its areas hold entries only; its header still names the block size as its
    // item size, as real datastores' do. area_count follows the volume.
    std::uint32_t fbb_items_per_entry = 1024;
    std::uint32_t fbb_entries_per_area = 8;
    std::optional<std::uint32_t> fbb_item_size; // unset: the block size

    bool bad_fs_magic = false;
    std::uint32_t time = 1234567890; // objects get time, time+1, ...
    // Set: every object is modified and accessed later than it was created
    // (by kModifiedLater and kAccessedLater), so that three columns swapped
    // show. Unset: the three times are the same.
    bool distinct_times = false;
};

struct RemoveOptions {
    bool remove_dirent = true; // take the name out of the parent directory
    bool free_storage = true;  // free its blocks too (bytes stay)
    bool recursive = true;     // free what a directory holds as well
};

class ImageBuilder {
public:
    explicit ImageBuilder(DatastoreOptions options);
    ~ImageBuilder();
    ImageBuilder(const ImageBuilder&) = delete;
    ImageBuilder& operator=(const ImageBuilder&) = delete;

    // --- building -------------------------------------------------------
    std::uint32_t root() const { return layout::kRootId; }
    // Creates missing parents; returns the descriptor id (existing or new).
    std::uint32_t mkdir(std::string_view path, Storage storage = Storage::Auto);
    std::uint32_t add_file(std::string_view path, FileSpec spec);
    // A file written like add_file into the live directory dir_id, but
    // nothing of it is kept beyond its directory entry: it cannot be looked
    // up, inspected or removed. For datastores of a million files, whose
    // bookkeeping would otherwise take gigabytes.
    std::uint32_t add_bulk_file(std::uint32_t dir_id, std::string_view name, FileSpec spec);
    // Appends a raw entry to a live directory (odd names, types 4/6 ...).
    void add_dirent(std::uint32_t dir_id, std::uint32_t type, std::uint32_t block_id, std::string_view name,
                    std::uint32_t record_id = 0);
    // Writes directories, descriptors of directories and every bitmap. Later
    // low-level writes (write_lv, write_item ...) are still allowed.
    void finish();

    // --- looking up -----------------------------------------------------
    std::uint32_t lookup(std::string_view path) const; // throws when absent
    const ObjectInfo& info(std::uint32_t id) const;
    std::vector<std::uint8_t> directory_bytes(std::uint32_t dir_id) const;
    std::uint32_t system_file(SysFile f) const; // descriptor id
    std::uint32_t system_file_first_block(SysFile f) const;
    const BitmapGeometry& geometry(SysFile f) const;
    const BitmapState& bitmap(SysFile f) const;
    std::uint64_t block_size() const { return opt_.block_size; }
    std::uint64_t item_lv_offset(std::uint32_t block_id) const; // any kind of id
    std::uint64_t item_size(std::uint32_t block_id) const;
    std::vector<std::uint8_t> read_item(std::uint32_t block_id) const;
    Volume& volume() { return *vol_; }
    const Volume& volume() const { return *vol_; }

    // --- damage for recovery and corruption tests ----------------------
    void remove(std::string_view path, RemoveOptions options = {});
    // A never-used item (or file block) that stays free: an id to write into.
    std::uint32_t unused(SysFile f);
    // Marks any item or file block free or allocated; its bytes stay.
    void set_free(std::uint32_t block_id, bool free);
    void set_entry_free_count(SysFile f, std::uint32_t entry, std::uint32_t value);
    void write_descriptor(std::uint32_t slot_id, const DescriptorFields& fields);
    void write_item(std::uint32_t block_id, std::uint64_t offset, std::span<const std::uint8_t> bytes);
    void write_lv(std::uint64_t lv_offset, std::span<const std::uint8_t> bytes);
    // Overwrites bytes of a file through its own block map (inline too).
    void write_file_bytes(std::uint32_t file_id, std::uint64_t offset, std::span<const std::uint8_t> bytes);

private:
    struct Entry {
        std::uint32_t type, block_id, record_id;
        std::string name;
        bool gone = false; // taken out of the directory; kept so later positions hold
    };
    // Where the live entries naming one block id stand, in directory order;
    // those before `next` were taken out already.
    struct Positions {
        std::vector<std::size_t> at;
        std::size_t next = 0;
    };
    struct Node {
        ObjectInfo info;
        Storage requested = Storage::Auto;
        std::vector<Entry> entries; // directories
        // Built at the first removal from the directory, so that taking out
        // each of many names does not search the whole directory.
        std::unordered_map<std::uint32_t, Positions> positions;
        bool indexed = false;
        bool frozen = false; // directory content already written
    };

    std::uint32_t new_slot();
    // Sets the object's three times, the next object's creation time first.
    void stamp(ObjectInfo& info);
    Node& node(std::uint32_t id);
    const Node& node(std::uint32_t id) const;
    BitmapState& state(SysFile f);
    SysFile file_of(std::uint32_t block_id) const;
    std::uint64_t bitmap_index(std::uint32_t block_id) const;
    std::uint32_t id_for(SysFile f, std::uint64_t n) const;
    std::uint64_t sys_lv(SysFile f, std::uint64_t file_offset) const;

    void store(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d);
    void store_inline(ObjectInfo& obj, DescriptorFields& d);
    void store_subblocks(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d);
    void store_fileblocks(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d);
    void store_pointerblocks(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d);
    std::uint32_t put_file_block(const FileSpec& spec, std::uint64_t index, std::span<std::uint8_t> buf);
    void write_block_data(std::uint32_t number, std::span<const std::uint8_t> data, bool fresh);
    void write_object(Node& n, const FileSpec& spec);
    void flush_directory(Node& n);
    void free_storage(const ObjectInfo& obj);
    void remove_node(Node& n, const RemoveOptions& o, bool top);
    void append_entry(Node& dir, Entry e);
    void erase_entry(Node& dir, std::uint32_t block_id);
    void forget_paths(const std::string& path);
    void write_bitmap_entry(SysFile f, std::uint32_t entry);
    void write_bitmaps();
    void require_open() const;

    DatastoreOptions opt_;
    std::unique_ptr<Volume> vol_;
    std::map<SysFile, BitmapState> bitmaps_;
    std::map<SysFile, std::uint32_t> sys_start_; // first file block of each system file
    std::map<SysFile, std::uint32_t> sys_id_;
    std::map<std::uint32_t, Node> nodes_;
    std::map<std::string, std::uint32_t, std::less<>> paths_;
    std::uint32_t time_seq_ = 0;
    bool finished_ = false;
};

} // namespace dsb

#include "scenarios.h"
