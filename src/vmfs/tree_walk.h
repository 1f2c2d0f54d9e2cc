#pragma once
// A recursive listing below one directory that always ends. On a damaged
// datastore a directory entry can name the directory itself, an ancestor, or
// a directory already listed elsewhere, and a chain of distinct directories
// can be as deep as there are descriptors; listing every directory the way
// the tree's lazy expansion would, without these limits, may never end.

#include "vmfs/listing.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ds {

// Deeper than any path a host could create (4096 bytes, two per level), so a
// real datastore never reaches it.
inline constexpr int kMaxTreeDepth = 2048;

// Directory entries a walk may read: four for every descriptor slot of the
// volume, and never fewer than 2^26 (nine gigabytes of directories). A tree
// shows each descriptor once and every directory adds only "." and ".."
// besides, so a sound datastore reads about one entry a slot; a walk past
// this bound is reading the same damaged directory data again and again,
// which without it could cost the square of the volume's slots.
inline constexpr int64_t kTreeReadsPerEntry = 4;
inline constexpr int64_t kTreeReadsAtLeast = int64_t{1} << 26;

enum class TreeNote {
    cycle,          // names the directory itself or one of its ancestors: shown, not entered
    listed_before,  // a directory already entered elsewhere in this walk: shown, not entered
    too_deep,       // at the depth limit: shown, not entered
    open_error,     // its descriptor cannot be read (the listing's "dir open error")
    ended_early,    // a read ended its listing early: the entries before it are shown
    too_many,       // the walk met more entries than the volume has descriptors (or read
                    // far more than it showed): it ends here
};

struct TreeNode {
    ListedEntry entry;      // as the listing of its parent shows it
    std::string path;       // "/name" below "/", parent path + "/" + name elsewhere, names printed
                            // (printable_name), so a name cannot forge a line or a level
    int depth = 1;          // 1 for the entries of the top directory
    // A directory entry whose entries follow this node (the walk enters it).
    bool entered = false;
    // A directory entry the walk shows but does not enter, and why; the same
    // note goes to the sink after the visitor has seen the node.
    std::optional<TreeNote> passed_by;
};


// Called for every entry below the top directory, parents before their
// entries, in on-disk order (depth first); false stops the walk.
using TreeVisitor = std::function<bool(const TreeNode&)>;
// Called for every directory that was not (or not wholly) listed.
using TreeNoteSink = std::function<void(TreeNote, const std::string& path)>;

// Called when the listing of an entered directory ends (depth 0 for the top
// directory), with how it ended; not called for directories still open when
// the walk stops early.
using TreeLeave = std::function<void(int depth, ListStatus how)>;

struct TreeWalkOptions {
    int max_depth = kMaxTreeDepth;
    int64_t first_block = -1;   // replaces the top directory's first block id (format recovery)
    TreeLeave leave;
    int64_t read_limit = -1;    // entries the walk may read; -1: tree_read_limit()
};

struct TreeWalkResult {
    bool stopped = false;       // the visitor asked to stop
    int64_t entries = 0;        // entries handed to the visitor
    int64_t directories = 0;    // directories listed, the top one included
    int64_t notes = 0;          // notes handed to the sink
    int64_t entries_read = 0;   // directory entries read, those not shown included
};

// The entries a walk reads at most before it ends with TreeNote::too_many.
int64_t tree_read_limit(const Datastore& store);

// Each directory is entered at most once per walk (keyed by its descriptor
// slot), so the work is bounded by the directories the datastore holds, not
// by the number of ways they can be reached. What the walk holds follows its
// depth: the directories entered are one bit each.
TreeWalkResult tree_walk(Datastore& store, uint32_t top_id, const std::string& top_path, const TreeVisitor& visit,
                         const TreeNoteSink& note = {}, const TreeWalkOptions& options = {});

// The path of entry name below parent, as the walk builds it.
std::string tree_child_path(const std::string& parent, const std::string& name);

} // namespace ds
