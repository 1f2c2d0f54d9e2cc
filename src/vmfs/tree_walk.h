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

// Directory entries a walk may read: four for every descriptor slot of the
// volume, and never fewer than 2^26 (nine gigabytes of directories). A tree
// shows each descriptor once and every directory adds only "." and ".."
// besides, so a sound datastore reads about one entry a slot; a walk past
// this bound is reading the same damaged directory data again and again,
// which without it could cost the square of the volume's slots.
inline constexpr int64_t kTreeReadsPerEntry = 4;
inline constexpr int64_t kTreeReadsAtLeast = int64_t{1} << 26;


// The entries a walk reads at most before it ends with TreeNote::too_many.
int64_t tree_read_limit(const Store& store);

// Each directory is entered at most once per walk (keyed by its descriptor
// slot), so the work is bounded by the directories the datastore holds, not
// by the number of ways they can be reached. What the walk holds follows its
// depth: the directories entered are one bit each.
TreeWalkResult tree_walk(Store& store, const Node& top, const std::string& top_path, const TreeVisitor& visit,
                         const TreeNoteSink& note = {}, const TreeWalkOptions& options = {});
inline TreeWalkResult tree_walk(Store& store, uint32_t top_id, const std::string& top_path, const TreeVisitor& visit,
                                const TreeNoteSink& note = {}, const TreeWalkOptions& options = {}) {
    return tree_walk(store, Node{top_id, -1}, top_path, visit, note, options);
}

// The path of entry name below parent, as the walk builds it.
std::string tree_child_path(const std::string& parent, const std::string& name);

} // namespace ds
