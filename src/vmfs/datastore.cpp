#include "vmfs/datastore.h"

#include "recovery/deleted_files.h"
#include "recovery/deleted_names.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "recovery/disk_rebuild.h"
#include "recovery/scan.h"
#include "vmfs/detect.h"
#include "vmfs/dirent.h"
#include "vmfs/extents.h"
#include "vmfs/fs.h"
#include "vmfs/store.h"
#include "vmfs/tree_walk.h"

#include <algorithm>
#include <cstring>

namespace ds {

namespace {

// Small files (not directories) keep their bytes in the descriptor itself.
bool stored_inline(const Descriptor& d) { return d.size <= kInlineLimit && d.type != kTypeDir; }
static_assert(kInlineLimit == 1024, "FileInfo::stored_inline says the same");

// a * b for a, b >= 0, the largest value where that does not fit.
int64_t times(int64_t a, int64_t b) {
    int64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

// The status of a step of the reader that failed: the calling thread's read
// failure when a read of a disk caused it, else damage of what the datastore
// holds.
Status failed(Store& s) {
    Failure why = s.disk.thread_failure();
    if (why.fault == Fault::none) why.fault = Fault::damaged;
    return {Code::unreadable, why};
}

Status read_descriptor(Store& s, const Node& node, Descriptor& out) {
    s.disk.clear_thread_failure();
    if (inode_get_substituted(s, node.id, node.first_block, out) != 0) return failed(s);
    return {};
}

FileInfo info_of(uint32_t id, const Descriptor& d) {
    FileInfo i;
    i.id = id;
    i.type = d.type;
    i.size = d.size;
    i.block_size = d.block_size;
    i.block_count = d.block_count;
    i.addr_mode = d.addr_mode;
    i.create_time = d.create_time;
    i.update_time = d.update_time;
    i.access_time = d.atime;
    return i;
}

} // namespace

Store::Store() : Store(make_posix_source()) {}
Store::Store(std::unique_ptr<SectorSource> source)
    : masked(std::make_unique<MaskedSource>(std::move(source))), disk(*masked) {}
Store::Store(SectorSource& source) : masked(std::make_unique<MaskedSource>(source)), disk(*masked) {}

File Store::make_file(const Node& node, const Descriptor& descriptor) {
    File f;
    f.node_ = node;
    f.info_ = info_of(node.id, descriptor);
    f.descriptor_ = std::make_shared<const Descriptor>(descriptor);
    return f;
}

const Descriptor& descriptor_of(const File& file) {
    static const Descriptor none;
    return file.descriptor_ ? *file.descriptor_ : none;
}

Datastore::Datastore() : store_(std::make_unique<Store>()) {}
Datastore::Datastore(std::unique_ptr<SectorSource> source) : store_(std::make_unique<Store>(std::move(source))) {}
Datastore::Datastore(SectorSource& source) : store_(std::make_unique<Store>(source)) {}
Datastore::~Datastore() = default;

AddDiskRefusal Datastore::add_disk(const std::string& device, int64_t start_sector) {
    AddDiskRefusal why = AddDiskRefusal::none;
    ds::add_disk(*store_, device, start_sector, &why);
    return why;
}

void Datastore::clear_disks() { lvm_clear(*store_); }

Detection Datastore::detect(const std::vector<std::string>& devices) const {
    return detect_candidates(*store_, devices);
}

AddDiskRefusal Datastore::assemble(const Detection& found, int k) { return assemble_volume(*store_, found, k); }

const LogicalVolume& Datastore::volume() const { return store_->lvm; }

int64_t Datastore::device_size(const std::string& device) const { return store_->disk.device_size(device); }

OpenOutcome Datastore::open() { return fs_open(*store_); }

void Datastore::close() { fs_close(*store_); }

bool Datastore::is_open() const { return fs_is_open(*store_); }

FsParams Datastore::fs_params() const {
    const FsInfo& fi = store_->fs.fsinfo;
    return {fi.blocksize, fi.subblocksize, fi.fdcheader_size, fi.fdcbitmap_count};
}

Status Datastore::stat(const Node& node, FileInfo& out) const {
    // The fields only: the block list (where first_block would go) is not
    // shown.
    store_->disk.clear_thread_failure();
    // Every field read is set anew; a record zeroed for each stat (1.1 KiB,
    // mostly its block list) was a tenth of a dated walk's own work.
    thread_local Descriptor d;
    if (inode_get_fields(*store_, node.id, d) != 0) return failed(*store_);
    out = info_of(node.id, d);
    return {};
}

Status Datastore::open_file(const Node& node, File& out) const {
    Descriptor d;
    Status st = read_descriptor(*store_, node, d);
    if (st) out = Store::make_file(node, d);
    return st;
}

TreeWalkResult Datastore::walk(const Node& top, const std::string& top_path, const TreeVisitor& visit,
                               const TreeNoteSink& note, const TreeWalkOptions& options) const {
    return tree_walk(*store_, top, top_path, visit, note, options);
}

MapfileCheck Datastore::use_mapfile(const std::string& device, const std::string& mapfile) {
    MapfileCheck check;
    Mapfile map;
    std::string error;
    if (!read_mapfile(mapfile, map, error)) {
        check.result = MapfileCheck::Result::map_refused;
        check.note = error;
        return check;
    }
    check.map_bytes = map.covered;
    check.image_bytes = store_->masked->size(device);
    if (check.image_bytes < 0) check.result = MapfileCheck::Result::image_unopenable;
    else if (map.covered != check.image_bytes) check.result = MapfileCheck::Result::size_differs;
    else store_->masked->mask(device, std::move(map.not_finished));
    return check;
}

int64_t Datastore::walk_read_limit() const { return tree_read_limit(*store_); }

// The directory entry bound counts "." and ".." beside the slots.
int64_t Datastore::descriptor_slots() const { return dir_entry_limit(*store_) - 2; }

Status Datastore::read(const File& file, uint8_t* buffer, int64_t count, int64_t off, int64_t& got) const {
    got = 0;
    if (off < 0 || count < 0) return {Code::unreadable, {Fault::damaged, 0}};
    const int64_t size = file.size();
    if (off >= size) return {};
    count = std::min(count, size - off);
    while (got < count) {
        int64_t n = 0;
        bool hole = false;
        Status st = read_run(file, buffer + got, count - got, off + got, n, hole);
        if (!st) return st;
        if (n == 0) break;
        if (hole) std::memset(buffer + got, 0, static_cast<size_t>(n));
        got += n;
    }
    return {};
}

Status Datastore::read_run(const File& file, uint8_t* buffer, int64_t max, int64_t off, int64_t& got,
                           bool& hole) const {
    const Descriptor& d = descriptor_of(file);
    got = 0;
    hole = false;
    if (stored_inline(d)) {
        if (off < 0 || max < 0) return {Code::unreadable, {Fault::damaged, 0}};
        if (off >= d.size) return {};
        uint8_t bytes[kInlineLimit];
        inode_inline_bytes(d, bytes);
        got = std::min(max, d.size - off);
        std::memcpy(buffer, bytes + off, static_cast<size_t>(got));
        return {};
    }
    // Only this run's failure may explain it: one the reader recovered from
    // (a run read again block by block) is forgotten.
    store_->disk.clear_thread_failure();
    const int64_t n = file_read_run(*store_, d, buffer, max, off, &hole);
    if (n < 0) return failed(*store_);
    got = n;
    return {};
}

// Reading around unreadable sectors.
Status Datastore::read_run(const File& file, uint8_t* buffer, int64_t max, int64_t off, int64_t& got, bool& hole,
                           std::vector<ByteSpan>& unreadable) const {
    const Descriptor& d = descriptor_of(file);
    if (stored_inline(d)) return read_run(file, buffer, max, off, got, hole);
    got = 0;
    hole = false;
    store_->disk.clear_thread_failure();
    const int64_t n = file_read_run(*store_, d, buffer, max, off, &hole, &unreadable);
    if (n < 0) return failed(*store_);
    got = n;
    return {};
}

void Datastore::set_read_retries(int n) { store_->disk.set_retries(n); }

void Datastore::set_scan_rescue(bool on) { store_->scan_rescue = on; }

// Listings over unreadable sectors.
void Datastore::set_list_rescue(bool on) { store_->list_rescue = on; }

int64_t Datastore::addressable(const File& file) const {
    const Descriptor& d = descriptor_of(file);
    if (stored_inline(d)) return std::max<int64_t>(d.size, 0);
    return file_extent(*store_, d);
}

int64_t Datastore::capacity() const { return lvm_capacity(*store_); }

std::vector<Extent> Datastore::extents(const File& file) const {
    return file_extents(*store_, descriptor_of(file), file.info().id);
}

bool Datastore::place(const File& file, int64_t off, int64_t len, DevicePlace& out) const {
    const Descriptor& d = descriptor_of(file);
    if (stored_inline(d)) return false;
    return file_range_place(*store_, d, off, len, out);
}

int64_t Datastore::seek(const File& file, int64_t off, bool data) const {
    const Descriptor& inode = descriptor_of(file);
    if (off < 0 || off >= inode.size) return -1;
    if (stored_inline(inode)) return data ? off : inode.size;
    // By slots, never by bytes: a damaged descriptor may claim 2^63 bytes.
    const int64_t found = file_find_slot(*store_, inode, off, !data);
    if (found >= 0) return found;
    if (!data) return inode.size;
    // What the slots cannot address reads as an error. It is offered as data
    // so that a reader meets that error there: called a hole, a copy would
    // fill it with zeros the datastore never gave.
    const int64_t addressed = inode.block_size > 0 ? times(file_slot_count(*store_, inode), inode.block_size) : 0;
    return addressed < inode.size ? std::max(off, addressed) : -1;
}

int64_t Datastore::allocated(const File& file) const {
    const Descriptor& inode = descriptor_of(file);
    if (stored_inline(inode)) return std::max<int64_t>(inode.size, 0);
    // The descriptor's own count of its blocks, never more than its size
    // rounds up to, its slots can name, their blocks hold or the volume
    // holds: a damaged count or block size changes what du says, nothing else.
    const int64_t bs = inode.block_size;
    if (bs <= 0 || inode.block_count <= 0) return 0;
    const int64_t whole = inode.size / bs + (inode.size % bs != 0);
    const int64_t blocks = std::min({inode.block_count, whole, file_slot_count(*store_, inode)});
    const int64_t real_unit = std::max<int64_t>(store_->fs.fsinfo.blocksize, store_->fs.sbc.header.item_size);
    const int64_t unit = std::min(bs, real_unit);
    if (unit <= 0) return 0;
    return std::min(times(blocks, unit), lvm_capacity(*store_));
}

int Datastore::raw_fd(const std::string& device) const { return store_->disk.raw_fd(device); }

ScanResult<FileRow> Datastore::scan_deleted(const ScanProgress& progress,
                                            const std::function<void(const FileRow&)>& row) const {
    return scan_deleted_files(*store_, progress, row);
}

ScanResult<PartitionRow> Datastore::scan_lost_disks(const ScanProgress& progress,
                                                    const std::function<void(const PartitionRow&)>& row) const {
    return scan_lost_vmdks(*store_, progress, row);
}

ScanResult<FoundDir> Datastore::scan_formatted(const ScanProgress& progress,
                                               const std::function<void(const FoundDir&)>& row,
                                               FoundDirBounds bounds) {
    ScanResult<FoundDir> found = scan_formatted_dirs(*store_, progress, row, bounds);
    store_->found_dirs = found.rows;
    return found;
}

File Datastore::lost_disk_file(const PartitionRow& row) const {
    return Store::make_file(Node{0, -1}, lost_disk_descriptor(*store_, row));
}

// Lost disks rebuilt whole.
ScanResult<PartitionRow> Datastore::scan_lost_disks(const ScanProgress& progress,
                                                    const std::function<void(const PartitionRow&)>& row,
                                                    std::vector<PointerBlockCandidate>& candidates) const {
    return scan_lost_vmdks(*store_, progress, row, &candidates);
}

std::vector<RebuiltDisk> Datastore::rebuild_lost_disks(const std::vector<PartitionRow>& rows,
                                                       const std::vector<PointerBlockCandidate>& candidates) const {
    return ds::rebuild_lost_disks(*store_, rows, candidates);
}

File Datastore::rebuilt_disk_file(const RebuiltDisk& disk) const {
    return Store::make_file(Node{0, -1}, rebuilt_disk_descriptor(*store_, disk));
}

const std::vector<FoundDir>& Datastore::found_dirs() const { return store_->found_dirs; }

void Datastore::forget_found_dirs() { store_->found_dirs.clear(); }

std::string Datastore::found_dir_name(const FoundDir& d) { return ds::found_dir_name(d); }

Node Datastore::found_dir_node(const FoundDir& d) { return {d.dir_id, found_dir_first_block(d)}; }

// --- for the window

ScanEnd Datastore::scan_ready(ScanKind kind) const {
    switch (kind) {
    case ScanKind::deleted: return scan_precondition(*store_, kFoundFdc);
    case ScanKind::formatted: return scan_precondition(*store_, kFoundFdc | kFoundSbc);
    case ScanKind::lost_disks: return scan_precondition(*store_, kFoundPbc);
    }
    return ScanEnd::not_open;
}

// ---------------------------------------------------------------- finding a disk's start

StartSearch Datastore::find_start(const std::string& device) const { return ds::find_start(*store_, device); }

AddDiskRefusal Datastore::add_disk(const std::string& device, int64_t start_sector, StartFrom from) {
    AddDiskRefusal why = AddDiskRefusal::none;
    ds::add_disk(*store_, device, start_sector, &why, from);
    return why;
}

MissingSegments Datastore::missing_segments() const { return lvm_missing_segments(*store_); }

// --- deleted files with their names

ScanResult<FileRow> Datastore::scan_deleted(const ScanProgress& progress, const std::function<void(const FileRow&)>& row,
                                            bool dirs) const {
    return scan_deleted_files(*store_, progress, row, dirs);
}

DeletedNames Datastore::name_deleted(const std::vector<DeletedItem>& items, const DeletedNameOptions& options) const {
    return name_deleted_items(*store_, items, options);
}

// ---------------------------------------------------------------- rescue domains

void Datastore::record_reads() { store_->masked->record_reads(); }

std::vector<ByteSpan> Datastore::rescue_domain(const std::string& device, const std::vector<File>& files) const {
    std::vector<ByteSpan> spans;
    // The block lists first: the pointer blocks they read are part of it.
    for (const File& file : files) {
        for (const Extent& e : extents(file)) {
            if (e.kind != Extent::Kind::data || e.lv_offset < 0) continue;
            for (int64_t pos = e.lv_offset, left = e.length; left > 0;) {
                LvmPlace place;
                if (!lvm_locate(*store_, pos, place) || place.bytes_in_member <= 0) break;
                const int64_t n = std::min(left, place.bytes_in_member);
                if (place.member->device == device) spans.push_back({place.device_offset, n});
                pos += n;
                left -= n;
            }
        }
    }
    for (const ByteSpan& r : store_->masked->recorded(device)) spans.push_back(r);
    std::sort(spans.begin(), spans.end(), [](const ByteSpan& a, const ByteSpan& b) { return a.offset < b.offset; });
    std::vector<ByteSpan> out;
    for (const ByteSpan& r : spans) {
        const int64_t start = r.offset / kSectorSize * kSectorSize;
        const int64_t end = (r.end() + kSectorSize - 1) / kSectorSize * kSectorSize;
        if (!out.empty() && out.back().end() >= start) {
            out.back().length = std::max(out.back().end(), end) - out.back().offset;
        } else {
            out.push_back({start, end - start});
        }
    }
    return out;
}

} // namespace ds
