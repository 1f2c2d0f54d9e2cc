#include "mount/mount_source.h"

#include "vmfs/blockid.h"
#include "vmfs/datastore.h"
#include "vmfs/file_read.h"
#include "vmfs/found_dir.h"
#include "vmfs/fs.h"
#include "vmfs/inode.h"
#include "vmfs/listing.h"
#include "vmfs/volume.h"

#include <algorithm>
#include <cstring>

namespace dsmount {

class SourceFile {
public:
    ds::tvmfs_inode inode;
};

namespace {

// Exactly the bytes an export writes: small files (not directories) from the
// descriptor's own 1024 bytes, everything else through the block list.
bool stored_inline(const ds::tvmfs_inode& inode) {
    return inode.size <= ds::kInlineLimit && inode.type != ds::kTypeDir;
}

// a * b for a, b >= 0, the largest value where that does not fit.
int64_t times(int64_t a, int64_t b) {
    int64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

// The descriptor's own count of its blocks, never more than its size rounds
// up to, its slots can name, their blocks hold or the volume holds: a damaged
// count or block size changes what du says, nothing else.
int64_t allocated_bytes(ds::Datastore& store, const ds::tvmfs_inode& inode) {
    const int64_t bs = inode.block_size;
    if (bs <= 0 || inode.block_count <= 0) return 0;
    const int64_t whole = inode.size / bs + (inode.size % bs != 0);
    const int64_t blocks = std::min({inode.block_count, whole, ds::file_slot_count(store, inode)});
    const int64_t real_unit = std::max<int64_t>(store.fs.fsinfo.blocksize, store.fs.sbc.header.item_size);
    const int64_t unit = std::min(bs, real_unit);
    if (unit <= 0) return 0;
    return std::min(times(blocks, unit), ds::lvm_capacity(store));
}

} // namespace

MountSource::MountSource(ds::Datastore& store) : store_(store) {}
MountSource::~MountSource() = default;

SourceRef MountSource::root() const { return {ds::kRootDirId, -1}; }

SourceError MountSource::stat(const SourceRef& ref, SourceAttr& out) {
    ds::tvmfs_inode inode;
    if (ds::inode_get_substituted(store_, ref.id, ref.first_block, inode) != 0) return SourceError::unreadable;
    if (inode.size < 0) return SourceError::bad_size;
    out.is_dir = inode.type == ds::kTypeDir;
    out.size = inode.size;
    out.create_time = inode.create_time;
    out.update_time = inode.update_time;
    out.atime = inode.atime;
    out.allocated = stored_inline(inode) ? inode.size : allocated_bytes(store_, inode);
    return SourceError::none;
}

SourceError MountSource::list(const SourceRef& ref, const std::function<bool(SourceEntry&&)>& take,
                              bool& complete) {
    complete = false;
    ds::DirLister lister(store_, ref.id, ref.first_block);
    if (lister.status() == ds::ListStatus::open_error) return SourceError::unreadable;
    if (lister.status() == ds::ListStatus::not_directory) return SourceError::not_directory;
    for (ds::ListedEntry e; lister.next(e);)
        if (!take({std::move(e.raw_name), {e.block_id, -1}, e.is_dir})) return SourceError::none;
    complete = lister.status() == ds::ListStatus::complete;
    return SourceError::none;
}

std::vector<SourceEntry> MountSource::found_directories() {
    std::vector<SourceEntry> out;
    for (const ds::found_dir& d : store_.found_dirs)
        out.push_back({ds::found_dir_name(d), {d.dir_id, ds::found_dir_first_block(d)}, true});
    return out;
}

SourceError MountSource::open(const SourceRef& ref, SourceFilePtr& out) {
    auto file = std::make_shared<SourceFile>();
    if (ds::inode_get_substituted(store_, ref.id, ref.first_block, file->inode) != 0) return SourceError::unreadable;
    if (file->inode.size < 0) return SourceError::bad_size;
    out = std::move(file);
    return SourceError::none;
}

int64_t MountSource::size(const SourceFile& file) { return file.inode.size; }

int64_t MountSource::read(const SourceFile& file, uint8_t* buf, int64_t count, int64_t off) {
    const ds::tvmfs_inode& inode = file.inode;
    if (off < 0 || count < 0) return -1;
    if (off >= inode.size) return 0;
    count = std::min(count, inode.size - off);
    if (stored_inline(inode)) {
        uint8_t bytes[1024];
        ds::inode_inline_bytes(inode, bytes);
        std::memcpy(buf, bytes + off, static_cast<size_t>(count));
        return count;
    }
    int64_t done = 0;
    while (done < count) {
        bool hole = false;
        const int64_t n = ds::file_read_run(store_, inode, buf + done, count - done, off + done, &hole);
        if (n < 0) return -1;
        if (n == 0) break;
        if (hole) std::memset(buf + done, 0, static_cast<size_t>(n));
        done += n;
    }
    return done;
}

bool MountSource::span(const SourceFile& file, int64_t count, int64_t off, SourceSpan& out) {
    const ds::tvmfs_inode& inode = file.inode;
    if (off < 0 || count <= 0 || off >= inode.size || stored_inline(inode)) return false;
    count = std::min(count, inode.size - off);
    ds::DevicePlace place;
    if (!ds::file_range_place(store_, inode, off, count, place)) return false;
    const int fd = store_.disk.raw_fd(place.device);
    if (fd < 0) return false;
    out = {fd, place.offset, count};
    return true;
}

int64_t MountSource::seek(const SourceFile& file, int64_t off, bool data) {
    const ds::tvmfs_inode& inode = file.inode;
    if (off < 0 || off >= inode.size) return -1;
    if (stored_inline(inode)) return data ? off : inode.size;
    const int64_t found = ds::file_find_slot(store_, inode, off, !data);
    if (found >= 0) return found;
    if (!data) return inode.size;
    // What the slots cannot address reads as an error. It is offered as data
    // so that a reader meets that error there: called a hole, a copy would
    // fill it with zeros the datastore never gave.
    const int64_t addressed = inode.block_size > 0 ? times(ds::file_slot_count(store_, inode), inode.block_size) : 0;
    return addressed < inode.size ? std::max(off, addressed) : -1;
}

} // namespace dsmount
