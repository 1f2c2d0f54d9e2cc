#include "vmfs/listing.h"
#include "vmfs/store.h"

#include "vmfs/dirent.h"
#include "vmfs/found_dir.h"
#include "vmfs/inode.h"
#include "vmfs/utf8.h"

namespace ds {

struct DirLister::State {
    std::optional<DirCursor> cursor;
    ListStatus status = ListStatus::open_error;
};

DirLister::DirLister(const Datastore& store, const Node& dir) : DirLister(store.internals(), dir) {}

DirLister::DirLister(Store& store, const Node& node) : state_(std::make_unique<State>()) {
    Descriptor dir;
    if (inode_get_probe(store, node.id, dir) != 0) return;
    substitute_first_block(dir, node.first_block);
    if (dir.type != kTypeDir) {
        state_->status = ListStatus::not_directory;
        return;
    }
    state_->cursor.emplace(store, dir);
    state_->status = ListStatus::complete;
}

DirLister::~DirLister() = default;
DirLister::DirLister(DirLister&&) noexcept = default;

ListStatus DirLister::status() const { return state_->status; }

int64_t DirLister::entries_read() const { return state_->cursor ? state_->cursor->entries_read() : 0; }

int64_t DirLister::skipped_entries() const { return state_->cursor ? state_->cursor->skipped_entries() : 0; }

const std::vector<ByteSpan>& DirLister::skipped() const {
    static const std::vector<ByteSpan> none;
    return state_->cursor ? state_->cursor->skipped() : none;
}

int64_t DirLister::skipped_spans_dropped() const { return state_->cursor ? state_->cursor->skipped_spans_dropped() : 0; }

bool DirLister::next(ListedEntry& out) {
    if (!state_->cursor) return false;
    DirEntry e;
    while (state_->cursor->next(e)) {
        if (e.type != kTypeDir && e.type != kTypeRegular && e.type != kTypeSystem) continue;
        std::string raw = dirent_name(e);
        std::string name = utf8_sanitize(raw);
        if (name == "." || name == "..") continue;
        out = {e.type == kTypeDir, e.type, e.descriptor_id, std::move(name), std::move(raw)};
        return true;
    }
    state_->status = state_->cursor->reached_end() ? ListStatus::complete : ListStatus::ended_early;
    return false;
}

} // namespace ds
