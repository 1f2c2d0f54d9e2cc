#include "recovery/deleted_names.h"
#include "vmfs/store.h"

#include "vmfs/dirent.h"
#include "vmfs/found_dir.h"
#include "vmfs/fs.h"
#include "vmfs/tree_walk.h"

#include <unordered_set>

namespace ds {
namespace {

// The entry that names a wanted item, as far as it has been agreed on.
struct Naming {
    std::string raw;
    std::string display;
    NamedIn in = NamedIn::live_dir;
    uint32_t dir = 0;        // the directory the entry was read in
    std::string path;        // live and found directories: the walk's whole path
    bool ambiguous = false;  // entries in different places gave different names
};

// A deleted directory's place, as the parent of what it names.
struct Place {
    std::string path;        // empty when it is the unnamed top itself
    uint32_t unnamed_top = 0;
};

class Gatherer {
public:
    Gatherer(Store& store, const std::vector<DeletedItem>& items, const DeletedNameOptions& options)
        : store_(store), options_(options) {
        wanted_.reserve(items.size());
        for (const DeletedItem& it : items) wanted_[it.id] = it.is_dir;
        for (const FoundDir& d : store.found_dirs) found_names_[d.dir_id] = found_dir_name(d);
    }

    void walk_live() { walk_from(Node{kRootDirId, -1}, "/", NamedIn::live_dir); }

    void walk_found() {
        const std::vector<FoundDir> found = store_.found_dirs;
        for (const FoundDir& d : found) {
            if (stopped()) return;
            walk_from(Node{d.dir_id, found_dir_first_block(d)}, found_dir_name(d), NamedIn::found_dir);
        }
    }

    // Deleted directories keep their entries as long as their blocks hold
    // them. A directory whose first entry no longer names itself lost its
    // first block to other data, and nothing after it is trusted.
    void read_deleted_dirs() {
        int64_t budget = tree_read_limit(store_);
        for (const auto& [id, is_dir] : wanted_) {
            if (!is_dir || budget <= 0 || stopped()) continue;
            Descriptor dir;
            if (inode_get(store_, id, dir) != 0 || dir.id != id || dir.type != kTypeDir) continue;
            DirCursor cursor(store_, dir);
            DirEntry e;
            if (!cursor.next(e) || e.descriptor_id != id) {
                budget -= cursor.entries_read();
                continue;
            }
            while (cursor.entries_read() < budget && cursor.next(e)) {
                if (e.type != kTypeDir && e.type != kTypeRegular) continue;
                std::string display = display_name(e);
                if (display == "." || display == "..") continue;
                offer(e.descriptor_id, e.type, Naming{dirent_name(e), std::move(display), NamedIn::deleted_dir, id, {}});
            }
            budget -= cursor.entries_read();
        }
    }

    DeletedNames result() {
        DeletedNames out;
        for (const auto& [id, n] : namings_) {
            if (n.ambiguous) continue;
            DeletedName name{n.display, n.raw, n.in, n.path, 0};
            if (n.in == NamedIn::deleted_dir) {
                const Place parent = place_of(n.dir, 0);
                name.path = join(parent.path, print(n.raw));
                name.unnamed_top = parent.unnamed_top;
            }
            out.emplace(id, std::move(name));
        }
        return out;
    }

private:
    Store& store_;
    const DeletedNameOptions& options_;
    std::unordered_map<uint32_t, bool> wanted_;          // id: is a directory
    std::unordered_map<uint32_t, Naming> namings_;       // only wanted ids
    std::unordered_map<uint32_t, std::string> found_names_;
    std::unordered_map<uint32_t, Place> places_;
    std::unordered_set<uint32_t> resolving_;
    bool stopped_ = false;

    bool stopped() {
        if (!stopped_ && options_.go_on && !options_.go_on()) stopped_ = true;
        return stopped_;
    }

    std::string print(const std::string& raw) const { return options_.print_name ? options_.print_name(raw) : raw; }

    static std::string join(const std::string& parent, const std::string& name) {
        if (parent.empty()) return name;
        return parent.back() == '/' ? parent + name : parent + "/" + name;
    }

    // Only a free slot still holding the kind of object the entry names is
    // taken: a slot reused by a live file is not wanted at all, and one now
    // holding a directory where the entry named a file (or the reverse)
    // belongs to another object than the entry's. Live directories speak for
    // the file system as it is now and come first; two other entries that
    // disagree leave the item without a name rather than with a wrong one.
    void offer(uint32_t id, uint32_t type, Naming n) {
        const auto w = wanted_.find(id);
        if (w == wanted_.end() || (type == kTypeDir) != w->second) return;
        auto [it, inserted] = namings_.try_emplace(id, std::move(n));
        if (inserted) return;
        Naming& have = it->second;
        if (have.dir == n.dir && have.raw == n.raw) return;
        if (have.in == NamedIn::live_dir && n.in != NamedIn::live_dir) return;
        have.ambiguous = true;
    }

    void walk_from(const Node& top, const std::string& top_path, NamedIn in) {
        std::vector<uint32_t> dirs{top.id};   // the directory entered at each depth
        int64_t seen = 0;
        TreeWalkOptions walk_options;
        walk_options.print_name = options_.print_name;
        tree_walk(
            store_, top, top_path,
            [&](const TreeNode& node) {
                if ((++seen & 1023) == 0 && stopped()) return false;
                const size_t depth = static_cast<size_t>(node.depth);
                if (depth == 0 || depth > dirs.size()) return true;   // the walk goes depth first
                const uint32_t parent = dirs[depth - 1];
                dirs.resize(depth);
                if (node.entered) dirs.push_back(node.entry.descriptor_id);
                offer(node.entry.descriptor_id, node.entry.type,
                      Naming{node.entry.raw_name, node.entry.name, in, parent, node.path});
                return true;
            },
            {}, walk_options);
    }

    // Where a deleted directory stands: by the name something gives it, up
    // to a found directory, a live one, or one that nothing names (also one
    // that names itself through its descendants).
    Place place_of(uint32_t dir, int depth) {
        if (const auto f = found_names_.find(dir); f != found_names_.end()) return {f->second, 0};
        if (const auto p = places_.find(dir); p != places_.end()) return p->second;
        const auto n = namings_.find(dir);
        if (n == namings_.end() || n->second.ambiguous || depth >= kMaxTreeDepth || resolving_.count(dir))
            return {"", dir};
        Place place;
        if (n->second.in != NamedIn::deleted_dir) {
            place = {n->second.path, 0};
        } else {
            resolving_.insert(dir);
            const Place parent = place_of(n->second.dir, depth + 1);
            resolving_.erase(dir);
            place = {join(parent.path, print(n->second.raw)), parent.unnamed_top};
        }
        places_.emplace(dir, place);
        return place;
    }
};

} // namespace

DeletedNames name_deleted_items(Store& store, const std::vector<DeletedItem>& items, const DeletedNameOptions& options) {
    if (items.empty() || !fs_is_open(store)) return {};
    Gatherer g(store, items, options);
    g.walk_live();
    g.walk_found();
    g.read_deleted_dirs();
    return g.result();
}

} // namespace ds
