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
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    if (opt.formatted && (rc = prepare_formatted(store, opt)) != kExitOk) return rc;
    Resolution r = resolve(store, opt.path, opt.formatted);
    if (r.kind != Resolution::Kind::ok)
        return fail_resolution("dir open error", r.detail, r.kind == Resolution::Kind::bad_id);
    if (!r.node.is_dir) return fail("dir open error");

    install_interrupt_handler();
    if (!opt.json)
        return walk_tree(store, r.node, r.shown, [](const Node& n, const std::string& path) {
            out_line(n.is_dir ? path + "/" : path);
        });
    nlohmann::json nodes = nlohmann::json::array();
    rc = walk_tree(store, r.node, r.shown, [&](const Node& n, const std::string& path) {
        nodes.push_back(tree_node_json(n, path));
    });
    out_json({{"root", r.shown}, {"nodes", std::move(nodes)}});
    return rc;
}

} // namespace dscli
