#include "tree_walk.h"

#include "interrupt.h"
#include "error_codes.h"
#include "output.h"

#include "text/name_text.h"

namespace dscli {

std::string dir_open_error_text(const std::string& path) { return "dir open error|path:" + path; }
std::string dir_incomplete_text(const std::string& path) { return "dir read incomplete|path:" + path; }
std::string dir_skipped_text(const std::string& path, int64_t entries) {
    return (entries > 0 ? std::to_string(entries) + " entries" : std::string("entries")) + " of " + path + " on unreadable sectors";
}

// A directory the walk could not list is worth a line on stderr; one it chose
// not to enter again (a damaged link back up or across) is shown and passed by.
void report_walk_note(ds::TreeNote what, const std::string& path) {
    // With --rescue an unreadable descriptor is passed over like an
    // unreadable block: the walk goes on either way.
    if (what == ds::TreeNote::open_error && rescue_run()) skipped("the descriptor of " + path);
    else if (what == ds::TreeNote::open_error) warn(kCodeDirOpen, dir_open_error_text(path));
    if (what == ds::TreeNote::entries_skipped) skipped(dir_skipped_text(path));
    if (what == ds::TreeNote::ended_early) warn(dir_incomplete_text(path));
    if (what == ds::TreeNote::too_deep) warn("dir too deep|path:" + path);
    if (what == ds::TreeNote::too_many) warn("more entries than the volume has descriptors; walk stopped|path:" + path);
}

namespace {

// Walks below one real directory; false when go_on stopped it.
bool walk_directory(const ds::Datastore& store, const Node& top, const std::string& top_path, const WalkHooks& hooks) {
    ds::TreeWalkOptions options;
    options.print_name = ds::printable_name;
    ds::TreeWalkResult res = store.walk(top.node, top_path,
        [&](const ds::TreeNode& t) {
            if (!hooks.go_on()) return false;
            hooks.emit(node_of(t.entry), t.path);
            return true;
        },
        hooks.report, options);
    return !res.stopped;
}

} // namespace

nlohmann::json tree_node_json(const Node& n, const std::string& path) {
    nlohmann::json j = {{"path", n.is_dir ? path + "/" : path}, {"kind", kind_text(n)}, {"id", n.id()}};
    put_name(j, n.raw_name);
    return j;
}

bool walk_nodes(const ds::Datastore& store, const Node& top, const std::string& top_path, const WalkHooks& hooks) {
    if (!top.formatted_root) return walk_directory(store, top, top_path, hooks);
    // Below "ALL DIR FOUND" each DIR node is a walk of its own, read through
    // the sub-block the recovery found for it.
    bool whole = true;
    each_found_dir(store, [&](Node&& dir) {
        if (!hooks.go_on()) return whole = false;
        hooks.emit(dir, dir.name);
        return whole = walk_directory(store, dir, dir.name, hooks);
    });
    return whole;
}

int walk_tree(const ds::Datastore& store, const Node& top, const std::string& top_path,
              const std::function<void(const Node&, const std::string&)>& emit) {
    const WalkHooks hooks{emit, report_walk_note, [] { return !interrupted() && out_ok(); }};
    return walk_nodes(store, top, top_path, hooks) ? kExitOk : walk_stopped();
}

int walk_stopped() { return interrupted() ? fail(kCodeCancelled, "tree cancelled") : kExitFailed; }

} // namespace dscli
