#pragma once
// The tree as the window shows it, without a window: a node is what the core
// reads (a descriptor id, plus for a directory found by the format recovery
// the sub-block that replaces its first block) with the name its parent's
// listing gives it, and its children are what its listing shows.

#include "vmfs/datastore.h"

#include <cstdint>
#include <functional>
#include <string>

namespace dscli {

struct Node {
    ds::Node node;                  // what the core reads
    bool is_dir = false;
    uint32_t type = ds::kTypeDir;   // the directory entry's type: 2, 3 or 5
    bool formatted_root = false;    // the "ALL DIR FOUND" node
    std::string name;               // as the window shows it (invalid UTF-8 replaced)
    std::string raw_name;           // the stored bytes: what is printed (escaped) and matched
    uint32_t id() const { return node.id; }
};

// The root directory "/" (descriptor 4).
Node root_node();
// The node over the format recovery's results: its children are DIR1, DIR2...
Node formatted_root_node();
// The node "DIR<n>" of a found directory.
Node found_dir_node(const ds::FoundDir& d);

// The node of an entry a listing or walk shows, read through node (by
// default the entry's own descriptor).
Node node_of(ds::ListedEntry entry);
Node node_of(ds::ListedEntry entry, const ds::Node& node);

// The children of "ALL DIR FOUND", DIR1, DIR2..., one at a time (the table
// may hold a million): visit returns false to stop.
void each_found_dir(const ds::Datastore& store, const std::function<bool(Node&&)>& visit);

// The name as every listing prints it: control characters, backslashes and
// bytes that are not UTF-8 escaped as \xHH.
std::string printed_name(const Node& node);

// "dir" or "file", as ls prints the kind.
const char* kind_text(const Node& node);

} // namespace dscli
