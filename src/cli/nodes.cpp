#include "nodes.h"

#include "text/name_text.h"

namespace dscli {

Node root_node() {
    Node n;
    n.node = ds::Datastore::root();
    n.is_dir = true;
    n.name = "/";
    n.raw_name = n.name;
    return n;
}

Node formatted_root_node() {
    Node n;
    n.is_dir = true;
    n.formatted_root = true;
    n.name = "ALL DIR FOUND";
    n.raw_name = n.name;
    return n;
}

Node found_dir_node(const ds::FoundDir& d) {
    Node n;
    // Only the DIR nodes themselves read their entries from the sub-block the
    // recovery found; everything below them is read as its descriptor says.
    n.node = ds::Datastore::found_dir_node(d);
    n.is_dir = true;
    n.name = ds::Datastore::found_dir_name(d);
    n.raw_name = n.name;
    return n;
}

Node node_of(ds::ListedEntry entry) {
    const ds::Node node = entry.node();
    return node_of(std::move(entry), node);
}

Node node_of(ds::ListedEntry entry, const ds::Node& node) {
    Node n;
    n.node = node;
    n.is_dir = entry.is_dir;
    n.type = entry.type;
    n.name = std::move(entry.name);
    n.raw_name = std::move(entry.raw_name);
    return n;
}

void each_found_dir(const ds::Datastore& store, const std::function<bool(Node&&)>& visit) {
    for (const ds::FoundDir& d : store.found_dirs())
        if (!visit(found_dir_node(d))) return;
}

std::string printed_name(const Node& node) { return ds::printable_name(node.raw_name); }

const char* kind_text(const Node& node) { return node.is_dir ? "dir" : "file"; }

} // namespace dscli
