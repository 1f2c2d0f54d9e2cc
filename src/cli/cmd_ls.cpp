#include "commands.h"
#include "disks.h"
#include "output.h"
#include "resolve.h"
#include "scans.h"
#include "tree_walk.h"

#include "vmfs/inode.h"
#include "text/time_text.h"

#include <nlohmann/json.hpp>

namespace dscli {

int fail_resolution(const char* message, const std::string& detail, bool usage) {
    if (usage) return usage_error(detail);
    int rc = fail(message);
    if (!detail.empty()) fail(detail);
    return rc;
}

namespace {

std::string text_row(const Node& n, bool long_format) {
    std::string row = std::string(kind_text(n)) + "\t" + std::to_string(n.id) + "\t" + printed_name(n);
    if (!long_format) return row;
    ds::tvmfs_inode inode;
    if (ds::inode_get(n.id, inode) != 0) return row + "\t?\t?";
    return row + "\t" + std::to_string(inode.size) + "\t" + ds::format_unix_time(inode.update_time);
}

nlohmann::json json_row(const Node& n, bool long_format) {
    nlohmann::json j = {{"kind", kind_text(n)}, {"id", n.id}, {"type", n.type}};
    put_name(j, n.raw_name);
    if (n.first_block != -1) j["first_block"] = n.first_block;
    if (!long_format) return j;
    ds::tvmfs_inode inode;
    if (ds::inode_get(n.id, inode) != 0) {
        j["size"] = nullptr;
        return j;
    }
    j["size"] = inode.size;
    j["update_at"] = ds::format_unix_time(inode.update_time);
    j["created"] = ds::iso_utc_time(inode.create_time);
    j["modified"] = ds::iso_utc_time(inode.update_time);
    j["accessed"] = ds::iso_utc_time(inode.atime);
    return j;
}

} // namespace

int cmd_ls(const Options& opt) {
    int rc = open_datastore(opt.disks);
    if (rc != kExitOk) return rc;
    if (opt.formatted && (rc = prepare_formatted(opt)) != kExitOk) return rc;
    Resolution r = resolve(opt.path, opt.formatted);
    if (r.kind != Resolution::Kind::ok)
        return fail_resolution("dir open error", r.detail, r.kind == Resolution::Kind::bad_id);

    // A file is listed as itself, as ls does; so is a directory entry whose
    // descriptor turns out not to be a directory.
    Children kids;
    if (r.node.is_dir) kids = list_children(r.node);
    if (kids.status == ds::ListStatus::open_error) return fail("dir open error");
    bool itself = !r.node.is_dir || kids.status == ds::ListStatus::not_directory;
    if (itself) {
        r.node.is_dir = false;
        kids.nodes = {r.node};
    }

    if (opt.json) {
        nlohmann::json rows = nlohmann::json::array();
        for (const Node& n : kids.nodes) rows.push_back(json_row(n, opt.long_format));
        out_json({{"path", r.shown},
                  {"complete", kids.status != ds::ListStatus::ended_early},
                  {"entries", std::move(rows)}});
    } else {
        for (const Node& n : kids.nodes) out_line(text_row(n, opt.long_format));
    }
    // The window keeps the entries read before a short read and says nothing;
    // a script has to learn that the listing is not whole.
    if (kids.status == ds::ListStatus::ended_early) warn(dir_incomplete_text(r.shown));
    return kExitOk;
}

} // namespace dscli
