#include "nodes.h"

#include "vmfs/blockid.h"

#ifdef DATUMSIFT_HAVE_RECOVERY
#include "recovery/formatted_dirs.h"
#endif

namespace dscli {

Node root_node() {
    Node n;
    n.id = ds::kRootDirId;
    n.is_dir = true;
    n.name = "/";
    return n;
}

Node formatted_root_node() {
    Node n;
    n.is_dir = true;
    n.formatted_root = true;
    n.name = "ALL DIR FOUND";
    return n;
}

Children list_children(const Node& node) {
    Children out;
    if (node.formatted_root) {
#ifdef DATUMSIFT_HAVE_RECOVERY
        for (const ds::found_dir& d : ds::found_dirs()) {
            Node c;
            c.id = d.dir_id;
            // Only the DIR nodes themselves read their entries from the
            // sub-block the recovery found; everything below them is read as
            // its descriptor says.
            c.first_block = ds::found_dir_first_block(d.number);
            c.is_dir = true;
            c.name = "DIR" + std::to_string(d.number);
            out.nodes.push_back(std::move(c));
        }
#endif
        return out;
    }
    ds::Listing l = ds::list_directory(node.id, node.first_block);
    out.status = l.status;
    for (ds::ListedEntry& e : l.entries) {
        Node c;
        c.id = e.block_id;
        c.is_dir = e.is_dir;
        c.type = e.type;
        c.name = std::move(e.name);
        out.nodes.push_back(std::move(c));
    }
    return out;
}

const char* kind_text(const Node& node) { return node.is_dir ? "dir" : "file"; }

} // namespace dscli
