#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"
#include "tree_walk.h"

#include "recovery/formatted_dirs.h"
#include "text/messages.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_formatted(const Options& opt) {
    int rc = open_datastore(opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::found_dir> dirs;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return ds::scan_formatted_dirs(progress, [&](const ds::found_dir& d) { dirs.push_back(d); });
    });
    int walk_rc = kExitOk;
    if (opt.json) {
        nlohmann::json j = nlohmann::json::array();
        for (const ds::found_dir& d : dirs) {
            Node top = found_dir_node(d);
            nlohmann::json row = {{"name", top.name}, {"number", d.number}, {"id", d.dir_id},
                                  {"first_block", top.first_block}};
            if (opt.with_tree && walk_rc == kExitOk) {
                nlohmann::json nodes = nlohmann::json::array();
                walk_rc = walk_tree(top, top.name, [&](const Node& n, const std::string& path) {
                    nodes.push_back(tree_node_json(n, path));
                });
                row["tree"] = std::move(nodes);
            }
            j.push_back(std::move(row));
        }
        out_json({{"dirs", std::move(j)},
                  {"finished", end == ds::ScanEnd::finished},
                  {"end", ds::scan_end_message(end)}});
    } else {
        for (const ds::found_dir& d : dirs) {
            Node top = found_dir_node(d);
            out_line(top.name + "\t" + std::to_string(d.dir_id) + "\t" + std::to_string(top.first_block));
            if (opt.with_tree && walk_rc == kExitOk)
                walk_rc = walk_tree(top, top.name, [](const Node& n, const std::string& path) {
                    out_line(n.is_dir ? path + "/" : path);
                });
        }
    }
    if (walk_rc != kExitOk) return walk_rc;
    return scan_status(opt, end);
}

} // namespace dscli
