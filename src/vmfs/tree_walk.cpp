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
    // Lists one directory; false when there is nothing to walk below it.
    auto enter = [&](uint32_t id, int64_t first_block, const std::string& path, Frame& frame) {
        frame.lister.emplace(store, id, first_block);
        if (frame.lister->status() == ListStatus::open_error) {
            tell(TreeNote::open_error, path);
            return false;
        }
        if (frame.lister->status() == ListStatus::not_directory) return false;   // as a double-click on a file does
        ++result.directories;
        return true;
    };
    // Every entry of a tree names a descriptor of its own: a walk that meets
    // more than the volume has slots for is going round damaged links.
    const int64_t limit = dir_entry_limit(store);

    std::unordered_set<uint32_t> entered{top_id};
    std::unordered_set<uint32_t> on_path{top_id};
    std::vector<Frame> stack(1);
    stack[0].id = top_id;
    stack[0].path = top_path;
    if (!enter(top_id, options.first_block, top_path, stack[0])) return result;

    while (!stack.empty()) {
        Frame& f = stack.back();
        TreeNode node;
        if (!f.lister->next(node.entry)) {
            if (f.lister->status() == ListStatus::ended_early) tell(TreeNote::ended_early, f.path);
            on_path.erase(f.id);
            stack.pop_back();
            continue;
        }
        if (result.entries >= limit) {
            tell(TreeNote::too_many, f.path);
            return result;
        }
        node.depth = f.depth + 1;
        node.path = tree_child_path(f.path, printable_name(node.entry.raw_name));
        ++result.entries;
        if (visit && !visit(node)) {
            result.stopped = true;
            return result;
        }
        if (!node.entry.is_dir) continue;
        const uint32_t id = node.entry.block_id;
        if (on_path.count(id)) {
            tell(TreeNote::cycle, node.path);
            continue;
        }
        if (entered.count(id)) {
            tell(TreeNote::listed_before, node.path);
            continue;
        }
        if (node.depth >= options.max_depth) {
            tell(TreeNote::too_deep, node.path);
            continue;
        }
        entered.insert(id);
        Frame child;
        child.id = id;
        child.path = std::move(node.path);
        child.depth = node.depth;
        if (!enter(id, -1, child.path, child)) continue;
        on_path.insert(id);
        stack.push_back(std::move(child));   // f is not used past here
    }
    return result;
}

} // namespace ds
