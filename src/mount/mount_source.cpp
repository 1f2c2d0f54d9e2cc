#include "mount/mount_source.h"

#include "vmfs/datastore.h"

#include <algorithm>
#include <cstring>

namespace dsmount {

class SourceFile {
public:
    ds::File file;
};

namespace {
// Made files are told from descriptors by this first block, which no found
// directory has; their ids (the inode numbers) are 8k + 2, which neither a
// descriptor id (4 in its low bits) nor the listed root (1) can be.
constexpr int64_t kMadeMark = -2;
} // namespace

MountSource::MountSource(ds::Datastore& store) : store_(store) {}
MountSource::~MountSource() = default;

SourceRef MountSource::add_made(const ds::File& file, int64_t allocated) {
    made_.push_back({file, std::clamp<int64_t>(allocated, 0, std::max<int64_t>(file.size(), 0))});
    return {static_cast<uint32_t>(made_.size() * 8 + 2), kMadeMark};
}

const MountSource::Made* MountSource::made(const SourceRef& ref) const {
    if (ref.first_block != kMadeMark || ref.id % 8 != 2 || ref.id < 10) return nullptr;
    const size_t k = ref.id / 8 - 1;
    return k < made_.size() ? &made_[k] : nullptr;
}

SourceRef MountSource::root() const { return {ds::kRootDirId, -1}; }

SourceError MountSource::stat(const SourceRef& ref, SourceAttr& out) {
    if (const Made* m = made(ref)) {
        if (m->file.size() < 0) return SourceError::bad_size;
        out = {};
        out.size = m->file.size();
        out.allocated = m->allocated;
        return SourceError::none;
    }
    ds::File file;
    if (!store_.open_file(ref, file)) return SourceError::unreadable;
    const ds::FileInfo& info = file.info();
    if (info.size < 0) return SourceError::bad_size;
    out.is_dir = info.is_dir();
    out.size = info.size;
    out.create_time = info.create_time;
    out.update_time = info.update_time;
    out.atime = info.access_time;
    out.allocated = store_.allocated(file);
    return SourceError::none;
}

SourceError MountSource::list(const SourceRef& ref, const std::function<bool(SourceEntry&&)>& take,
                              bool& complete) {
    complete = false;
    ds::DirLister lister(store_, ref);
    if (lister.status() == ds::ListStatus::open_error) return SourceError::unreadable;
    if (lister.status() == ds::ListStatus::not_directory) return SourceError::not_directory;
    for (ds::ListedEntry e; lister.next(e);)
        if (!take({std::move(e.raw_name), {e.descriptor_id, -1}, e.is_dir})) return SourceError::none;
    complete = lister.status() == ds::ListStatus::complete;
    return SourceError::none;
}

std::vector<SourceEntry> MountSource::found_directories() {
    std::vector<SourceEntry> out;
    for (const ds::FoundDir& d : store_.found_dirs())
        out.push_back({ds::Datastore::found_dir_name(d), ds::Datastore::found_dir_node(d), true});
    return out;
}

SourceError MountSource::open(const SourceRef& ref, SourceFilePtr& out) {
    auto file = std::make_shared<SourceFile>();
    if (const Made* m = made(ref))
        file->file = m->file;
    else if (!store_.open_file(ref, file->file))
        return SourceError::unreadable;
    if (file->file.size() < 0) return SourceError::bad_size;
    out = std::move(file);
    return SourceError::none;
}

int64_t MountSource::size(const SourceFile& file) { return file.file.size(); }

int64_t MountSource::read(const SourceFile& file, uint8_t* buf, int64_t count, int64_t off) {
    int64_t got = 0;
    if (!store_.read(file.file, buf, count, off, got)) return -1;
    return got;
}

int64_t MountSource::read_to_damage(const SourceFile& file, uint8_t* buf, int64_t count, int64_t off,
                                    std::vector<ds::ByteSpan>* unreadable) {
    const int64_t size = file.file.size();
    if (off < 0 || count < 0) return -1;
    if (off >= size) return 0;
    count = std::min(count, size - off);
    int64_t got = 0;
    std::vector<ds::ByteSpan> bad;
    while (got < count) {
        int64_t n = 0;
        bool hole = false;
        bad.clear();
        if (!store_.read_run(file.file, buf + got, count - got, off + got, n, hole, bad)) return got > 0 ? got : -1;
        if (n == 0) break;
        if (hole) std::memset(buf + got, 0, static_cast<size_t>(n));
        if (!bad.empty() && !unreadable) {
            // The zeros read_run put there are not the disk's bytes: the
            // answer ends where they begin.
            const int64_t before = bad.front().offset - off;
            return before > 0 ? before : -1;
        }
        for (const ds::ByteSpan& r : bad) ds::append_range(*unreadable, r);
        got += n;
    }
    return got;
}

bool MountSource::span(const SourceFile& file, int64_t count, int64_t off, SourceSpan& out) {
    const int64_t size = file.file.size();
    if (off < 0 || count <= 0 || off >= size) return false;
    count = std::min(count, size - off);
    ds::DevicePlace place;
    if (!store_.place(file.file, off, count, place)) return false;
    const int fd = store_.raw_fd(place.device);
    if (fd < 0) return false;
    out = {fd, place.offset, count};
    return true;
}

int64_t MountSource::seek(const SourceFile& file, int64_t off, bool data) {
    return store_.seek(file.file, off, data);
}

} // namespace dsmount
