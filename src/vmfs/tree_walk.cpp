#include "vmfs/tree_walk.h"
#include "vmfs/store.h"

#include "vmfs/blockid.h"
#include "vmfs/dirent.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ds {

std::string tree_child_path(const std::string& parent, const std::string& name) {
    if (parent.empty() || parent.back() == '/') return parent + name;
    return parent + "/" + name;
}

namespace {

// One directory being walked: its place in its listing, never its entries,
// so that memory follows the depth, not the size of what is listed. Its path
// is the start of the walk's current path, which it does not copy: a chain
// of deep directories with long names would otherwise hold the square of
// its depth.
struct Frame {
    uint32_t key = 0;
    size_t path_len = 0;
    int depth = 0;
    int64_t read = 0;       // entries its lister had read when last asked
    std::optional<DirLister> lister;
};

// The descriptor a directory entry names, as a slot number of ".fdc.sf":
// ids that differ only in bits the descriptor read ignores name the same
// directory.
uint32_t slot_key(uint32_t id) { return fd_entry(id) | (fd_item(id) << 15); }

// The directories entered so far, one bit per descriptor slot: a few
// megabytes at most however many there are, where a hash set of 2^25 ids
// would take a gigabyte.
class SlotSet {
public:
    bool insert(uint32_t key) {
        const size_t word = key >> 6;
        if (word >= bits_.size()) bits_.resize(std::max(word + 1, bits_.size() * 2), 0);
        const uint64_t bit = uint64_t{1} << (key & 63);
        if (bits_[word] & bit) return false;
        bits_[word] |= bit;
        return true;
    }
    bool contains(uint32_t key) const {
        const size_t word = key >> 6;
        return word < bits_.size() && (bits_[word] >> (key & 63) & 1);
    }

private:
    std::vector<uint64_t> bits_;
};

} // namespace

int64_t tree_read_limit(const Store& store) {
    return std::max(kTreeReadsPerEntry * dir_entry_limit(store), kTreeReadsAtLeast);
}

TreeWalkResult tree_walk(Store& store, const Node& top, const std::string& top_path, const TreeVisitor& visit,
                         const TreeNoteSink& note, const TreeWalkOptions& options) {
    TreeWalkResult result;
    auto tell = [&](TreeNote what, const std::string& path) {
        ++result.notes;
        if (note) note(what, path);
    };
    // Opens the listing of one directory: the reason it cannot be walked, or
    // none. A descriptor that is not a directory is no reason: it is shown as
    // the file it is, as a double-click on it does.
    auto enter = [&](uint32_t id, int64_t first_block, Frame& frame, bool& is_dir) -> std::optional<TreeNote> {
        frame.lister.emplace(store, Node{id, first_block});
        is_dir = frame.lister->status() != ListStatus::not_directory;
        if (frame.lister->status() == ListStatus::open_error) return TreeNote::open_error;
        if (is_dir) ++result.directories;
        return std::nullopt;
    };
    // Every entry of a tree names a descriptor of its own: a walk that meets
    // more than the volume has slots for is going round damaged links. The
    // entries read but not shown (".", "..", removed ones) are bounded too,
    // or directories full of them would cost the square of the volume.
    const int64_t limit = dir_entry_limit(store);
    const int64_t read_limit = options.read_limit >= 0 ? options.read_limit : tree_read_limit(store);

    SlotSet entered;
    entered.insert(slot_key(top.id));
    std::unordered_set<uint32_t> on_path{slot_key(top.id)};
    std::string path = top_path;   // of the directory on top of the stack
    std::vector<Frame> stack(1);
    stack[0].key = slot_key(top.id);
    stack[0].path_len = path.size();
    bool top_is_dir = false;
    if (enter(top.id, top.first_block, stack[0], top_is_dir)) {
        tell(TreeNote::open_error, top_path);
        return result;
    }
    if (!top_is_dir) return result;

    while (!stack.empty()) {
        Frame& f = stack.back();
        TreeNode node;
        const bool more = f.lister->next(node.entry);
        result.entries_read += f.lister->entries_read() - f.read;
        f.read = f.lister->entries_read();
        if (!more) {
            const ListStatus how = f.lister->status();
            const int depth = f.depth;
            if (f.lister->skipped_entries() > 0) tell(TreeNote::entries_skipped, path);
            if (how == ListStatus::ended_early) tell(TreeNote::ended_early, path);
            on_path.erase(f.key);
            stack.pop_back();
            if (!stack.empty()) path.resize(stack.back().path_len);
            if (options.leave) options.leave(depth, how);
            continue;
        }
        if (result.entries >= limit || result.entries_read > read_limit) {
            tell(TreeNote::too_many, path);
            return result;
        }
        node.depth = f.depth + 1;
        node.path = tree_child_path(path, options.print_name ? options.print_name(node.entry.raw_name) : node.entry.raw_name);
        ++result.entries;
        // Whether the entries of a directory follow is settled before it is
        // shown, so that a visitor copying as it goes knows what comes next.
        Frame child;
        if (node.entry.is_dir) {
            const uint32_t key = slot_key(node.entry.descriptor_id);
            if (on_path.count(key)) node.passed_by = TreeNote::cycle;
            else if (entered.contains(key)) node.passed_by = TreeNote::listed_before;
            else if (node.depth >= options.max_depth) node.passed_by = TreeNote::too_deep;
            else {
                child.key = key;
                child.depth = node.depth;
                entered.insert(key);
                bool is_dir = false;
                node.passed_by = enter(node.entry.descriptor_id, -1, child, is_dir);
                node.entered = is_dir && !node.passed_by;
            }
        }
        if (visit && !visit(node)) {
            result.stopped = true;
            return result;
        }
        if (node.passed_by) tell(*node.passed_by, node.path);
        if (!node.entered) continue;
        on_path.insert(child.key);
        path = std::move(node.path);
        child.path_len = path.size();
        stack.push_back(std::move(child));   // f is not used past here
    }
    return result;
}

} // namespace ds
