#include "commands.h"
#include "disks.h"
#include "interrupt.h"
#include "output.h"
#include "resolve.h"
#include "scans.h"
#include "tree_walk.h"
#include "vmfs/datastore.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_tree(ds::Datastore& store, const Options& opt) {
    Resolution r;
    if (int rc = open_and_resolve(store, opt, "dir open error", r); rc != kExitOk) return rc;
    if (!r.node.is_dir) return fail("dir open error");

    install_interrupt_handler();
    if (!opt.json)
        return walk_tree(store, r.node, r.shown, [](const Node& n, const std::string& path) {
            out_line(n.is_dir ? path + "/" : path);
        });
    // Written node by node, as the walk meets them: a tree of millions of
    // entries is never held whole.
    out_text("{\n  \"schema\": " + std::to_string(kJsonSchema) + ",\n  \"root\": " + json_text(r.shown) +
             ",\n  \"nodes\": [");
    bool first = true;
    const int rc = walk_tree(store, r.node, r.shown, [&](const Node& n, const std::string& path) {
        out_text((first ? "\n    " : ",\n    ") + json_text(tree_node_json(n, path)));
        first = false;
    });
    out_text(std::string(first ? "]" : "\n  ]") + "\n}\n");
    return rc;
}

} // namespace dscli
