#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"
#include "tree_walk.h"
#include "vmfs/datastore.h"

#include "recovery/formatted_dirs.h"
#include "text/messages.h"

#include <nlohmann/json.hpp>

namespace dscli {

int cmd_formatted(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return store.scan_formatted(progress).end;
    });
    int walk_rc = kExitOk;
    if (opt.json) {
        // Written row by row, and a row's tree node by node: the table may
        // hold a million directories and each a tree of millions of entries.
        out_text("{\n  \"schema\": " + std::to_string(kJsonSchema) + ",\n  \"dirs\": [");
        bool first = true;
        for (const ds::FoundDir& d : store.found_dirs()) {
            Node top = found_dir_node(d);
            const nlohmann::json row = {{"name", top.name}, {"number", d.number}, {"id", d.dir_id},
                                        {"first_block", top.first_block}};
            std::string text = json_text(row);
            out_text(first ? "\n    " : ",\n    ");
            first = false;
            if (!opt.with_tree || walk_rc != kExitOk) {
                out_text(text);
                continue;
            }
            text.pop_back();   // its closing brace: the tree goes inside
            out_text(text + ",\"tree\":[");
            bool first_node = true;
            walk_rc = walk_tree(store, top, top.name, [&](const Node& n, const std::string& path) {
                out_text((first_node ? "" : ",") + json_text(tree_node_json(n, path)));
                first_node = false;
            });
            out_text("]}");
        }
        out_text(std::string(first ? "]" : "\n  ]") + ",\n  \"finished\": " +
                 (end == ds::ScanEnd::finished ? "true" : "false") + ",\n  \"end\": " +
                 json_text(ds::scan_end_message(end)) + "\n}\n");
    } else {
        for (const ds::FoundDir& d : store.found_dirs()) {
            Node top = found_dir_node(d);
            out_line(top.name + "\t" + std::to_string(d.dir_id) + "\t" + std::to_string(top.first_block));
            if (opt.with_tree && walk_rc == kExitOk)
                walk_rc = walk_tree(store, top, top.name, [](const Node& n, const std::string& path) {
                    out_line(n.is_dir ? path + "/" : path);
                });
        }
    }
    if (walk_rc != kExitOk) return walk_rc;
    return scan_status(opt, end);
}

} // namespace dscli
