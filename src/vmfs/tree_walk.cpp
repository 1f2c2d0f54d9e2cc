#include "vmfs/tree_walk.h"
#include "vmfs/datastore.h"

#include "text/name_text.h"

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
// so that memory follows the depth, not the size of what is listed.
struct Frame {
    uint32_t id = 0;
    std::string path;
    int depth = 0;
    std::optional<DirLister> lister;
};

} // namespace

TreeWalkResult tree_walk(Datastore& store, uint32_t top_id, const std::string& top_path, const TreeVisitor& visit,
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
        frame.lister.emplace(store, id, first_block);
        is_dir = frame.lister->status() != ListStatus::not_directory;
        if (frame.lister->status() == ListStatus::open_error) return TreeNote::open_error;
        if (is_dir) ++result.directories;
        return std::nullopt;
    };
    // Every entry of a tree names a descriptor of its own: a walk that meets
    // more than the volume has slots for is going round damaged links.
    const int64_t limit = dir_entry_limit(store);

    std::unordered_set<uint32_t> entered{top_id};
    std::unordered_set<uint32_t> on_path{top_id};
    std::vector<Frame> stack(1);
    stack[0].id = top_id;
    stack[0].path = top_path;
    bool top_is_dir = false;
    if (enter(top_id, options.first_block, stack[0], top_is_dir)) {
        tell(TreeNote::open_error, top_path);
        return result;
    }
    if (!top_is_dir) return result;

    while (!stack.empty()) {
        Frame& f = stack.back();
        TreeNode node;
        if (!f.lister->next(node.entry)) {
            const ListStatus how = f.lister->status();
            const int depth = f.depth;
            if (how == ListStatus::ended_early) tell(TreeNote::ended_early, f.path);
            on_path.erase(f.id);
            stack.pop_back();
            if (options.leave) options.leave(depth, how);
            continue;
        }
        if (result.entries >= limit) {
            tell(TreeNote::too_many, f.path);
            return result;
        }
        node.depth = f.depth + 1;
        node.path = tree_child_path(f.path, printable_name(node.entry.raw_name));
        ++result.entries;
        // Whether the entries of a directory follow is settled before it is
        // shown, so that a visitor copying as it goes knows what comes next.
        Frame child;
        if (node.entry.is_dir) {
            const uint32_t id = node.entry.block_id;
            if (on_path.count(id)) node.passed_by = TreeNote::cycle;
            else if (entered.count(id)) node.passed_by = TreeNote::listed_before;
            else if (node.depth >= options.max_depth) node.passed_by = TreeNote::too_deep;
            else {
                child.id = id;
                child.path = node.path;
                child.depth = node.depth;
                entered.insert(id);
                bool is_dir = false;
                node.passed_by = enter(id, -1, child, is_dir);
                node.entered = is_dir && !node.passed_by;
            }
        }
        if (visit && !visit(node)) {
            result.stopped = true;
            return result;
        }
        if (node.passed_by) tell(*node.passed_by, node.path);
        if (!node.entered) continue;
        on_path.insert(child.id);
        stack.push_back(std::move(child));   // f is not used past here
    }
    return result;
}

} // namespace ds
