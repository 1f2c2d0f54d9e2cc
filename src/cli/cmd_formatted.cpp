#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"
#include "tree_walk.h"

#include "export/json_stream.h"
#include "text/messages.h"

#include <nlohmann/json.hpp>

namespace dscli {
namespace {

// One row of the JSON document: the found directory, and with --tree its
// tree node by node inside it (each may hold millions of entries). A walk
// that stopped leaves the rows after it without a tree.
void json_row(const ds::Datastore& store, ds::JsonStream& json, const ds::FoundDir& d, bool with_tree,
              int& walk_rc) {
    const Node top = found_dir_node(d);
    nlohmann::json row = {{"name", top.name}, {"number", d.number}, {"id", d.dir_id},
                          {"first_block", top.node.first_block}};
    if (d.partly_unreadable) row["partly_unreadable"] = true;
    if (!with_tree || walk_rc != kExitOk) return json.item(row);
    std::string text = ds::json_line(row);
    text.pop_back();   // its closing brace: the tree goes inside
    json.begin_item();
    json.item_text(text + ",\"tree\":[");
    bool first_node = true;
    walk_rc = walk_tree(store, top, top.name, [&](const Node& n, const std::string& path) {
        json.item_text((first_node ? "" : ",") + ds::json_line(tree_node_json(n, path)));
        first_node = false;
    });
    json.item_text("]}");
    json.end_item();
}

} // namespace

int cmd_formatted(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::SkippedArea> unreadable;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::FoundDir> found = store.scan_formatted(progress);
        unreadable = std::move(found.unreadable);
        return found.end;
    });
    int walk_rc = kExitOk;
    if (opt.json) {
        // Written row by row: the table may hold a million directories.
        ds::JsonStream json(out_text);
        json.field("schema", kJsonSchema);
        json.begin_list("dirs");
        for (const ds::FoundDir& d : store.found_dirs()) json_row(store, json, d, opt.with_tree, walk_rc);
        json.end_list();
        json.field("finished", end == ds::ScanEnd::finished);
        json.field("end", ds::scan_end_message(end));
        if (opt.rescue) json.field("unreadable", skipped_json(unreadable));
        json.finish();
    } else {
        for (const ds::FoundDir& d : store.found_dirs()) {
            Node top = found_dir_node(d);
            out_line(top.name + "\t" + std::to_string(d.dir_id) + "\t" + std::to_string(top.node.first_block) +
                     (d.partly_unreadable ? "\tpartly unreadable" : ""));
            if (opt.with_tree && walk_rc == kExitOk)
                walk_rc = walk_tree(store, top, top.name, [](const Node& n, const std::string& path) {
                    out_line(n.is_dir ? path + "/" : path);
                });
        }
    }
    if (walk_rc != kExitOk) return walk_rc;
    return scan_status(opt, end, unreadable);
}

} // namespace dscli
