#include "commands.h"
#include "disks.h"
#include "interrupt.h"
#include "output.h"
#include "resolve.h"
#include "scans.h"
#include "tree_walk.h"

#include "export/json_stream.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_tree(ds::Datastore& store, const Options& opt) {
    Resolution r;
    if (int rc = open_and_resolve(store, opt, "dir open error", r); rc != kExitOk) return rc;
    if (!r.node.is_dir) return fail_dir_open(store, r);

    install_interrupt_handler();
    if (!opt.json)
        return walk_tree(store, r.node, r.shown, [](const Node& n, const std::string& path) {
            out_line(n.is_dir ? path + "/" : path);
        });
    // Written node by node, as the walk meets them: a tree of millions of
    // entries is never held whole.
    ds::JsonStream json(out_text);
    json.field("schema", kJsonSchema);
    json.field("root", r.shown);
    json.begin_list("nodes");
    const int rc = walk_tree(store, r.node, r.shown,
                             [&](const Node& n, const std::string& path) { json.item(tree_node_json(n, path)); });
    json.end_list();
    json.finish();
    return rc;
}

} // namespace dscli
