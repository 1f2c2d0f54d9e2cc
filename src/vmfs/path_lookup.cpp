// Looking a path up through the listings, one component at a time.
#include "vmfs/datastore.h"

#include <utility>

namespace ds {
namespace {

// A found directory as the listing of the found directories shows it.
ListedEntry found_dir_entry(const FoundDir& d) {
    ListedEntry e;
    e.is_dir = true;
    e.type = kTypeDir;
    e.descriptor_id = d.dir_id;
    e.name = Datastore::found_dir_name(d);
    e.raw_name = e.name;
    return e;
}

struct Step {
    ListedEntry entry;
    Node node;
};

struct Child {
    ListStatus status = ListStatus::complete;
    bool found = false;
    Step step;
    int64_t skipped = 0;   // entries passed over on unreadable sectors
};

// The best match of rank among the children of here (the found directories
// when at_start is set for them), holding only the best so far; of equal
// matches the first listed wins.
Child find_child(const Datastore& store, const Node* here, const EntryRank& rank) {
    Child out;
    int best = -1;
    auto consider = [&](ListedEntry&& e, const Node& node) {
        const int r = rank(e);
        if (r < 0 || (best >= 0 && r >= best)) return false;
        best = r;
        out.found = true;
        out.step = {std::move(e), node};
        return best == 0;
    };
    if (!here) {
        for (const FoundDir& d : store.found_dirs())
            if (consider(found_dir_entry(d), Datastore::found_dir_node(d))) break;
        return out;
    }
    DirLister lister = store.list(*here);
    for (ListedEntry e; lister.next(e);) {
        const Node node = e.node();
        if (consider(std::move(e), node)) break;
    }
    out.status = lister.status();
    out.skipped = lister.skipped_entries();
    return out;
}

} // namespace

PathLookup Datastore::look_up(const std::string& path, PathFrom from, const NameMatcher& match) const {
    const NameMatcher exact = [](const std::string& component) -> EntryRank {
        return [component](const ListedEntry& e) { return e.raw_name == component ? 0 : -1; };
    };
    const NameMatcher& matcher = match ? match : exact;
    const Node start = from == PathFrom::root ? root() : Node{};
    std::vector<Step> trail;
    auto fill = [&](PathLookup& out, PathEnd end) {
        out.end = end;
        out.node = trail.empty() ? start : trail.back().node;
        out.trail.reserve(trail.size());
        for (Step& s : trail) out.trail.push_back(std::move(s.entry));
        return out;
    };
    PathLookup out;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string component = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            if (!trail.empty()) trail.pop_back();
            continue;
        }
        const bool at_found_dirs = trail.empty() && from == PathFrom::found_dirs;
        const Node here = trail.empty() ? start : trail.back().node;
        Child child = find_child(*this, at_found_dirs ? nullptr : &here, matcher(component));
        out.skipped_entries += child.skipped;
        if (child.status == ListStatus::open_error) {
            // The reason of the read, when a read of the descriptor gives one.
            FileInfo info;
            out.status = stat(here, info);
            if (out.status.ok()) out.status = {Code::unreadable, {Fault::damaged, 0}};
            return fill(out, PathEnd::unreadable);
        }
        if (child.status == ListStatus::not_directory) {
            out.status = {Code::not_directory, {}};
            return fill(out, PathEnd::not_directory);
        }
        if (!child.found) {
            out.component = std::move(component);
            return fill(out, PathEnd::no_entry);
        }
        trail.push_back(std::move(child.step));
    }
    return fill(out, PathEnd::found);
}

} // namespace ds
