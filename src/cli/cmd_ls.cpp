#include "commands.h"
#include "disks.h"
#include "error_codes.h"
#include "output.h"
#include "resolve.h"
#include "scans.h"
#include "tree_walk.h"

#include "export/json_stream.h"
#include "text/next_steps.h"
#include "text/time_text.h"

#include <nlohmann/json.hpp>
#include <optional>

namespace dscli {

int fail_resolution(const char* message, const std::string& detail, bool usage) {
    if (usage) return usage_error(detail);
    const bool dir = std::string(message) == "dir open error";
    int rc = fail(dir ? kCodeDirOpen : kCodeFileOpen, message);
    if (!detail.empty()) fail(detail);
    return rc;
}

int fail_dir_open(const ds::Datastore& store, const Resolution& r) {
    const int rc = fail(kCodeDirOpen, "dir open error");
    if (!r.node.is_dir) {
        fail(ds::dir_is_file_next_step(r.shown));
        return rc;
    }
    ds::FileInfo info;
    fail(ds::dir_unreadable_next_step(r.shown, store.stat(r.node.node, info).failure));
    return rc;
}

int open_and_resolve(ds::Datastore& store, const Options& opt, const char* message, Resolution& r) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    if (opt.formatted && (rc = prepare_formatted(store, opt)) != kExitOk) return rc;
    r = resolve(store, opt.path, opt.formatted);
    if (r.kind != Resolution::Kind::ok) return fail_resolution(message, r.detail, r.kind == Resolution::Kind::bad_id);
    return kExitOk;
}

namespace {

// What the descriptor of an entry says: its size and times.
std::optional<ds::FileInfo> own_info(const ds::Datastore& store, const Node& n) {
    ds::FileInfo info;
    if (!store.stat(n.node, info)) {
        // Shown as "?" either way; with --rescue it is also accounted for.
        if (rescue_run()) skipped("the descriptor of " + printed_name(n));
        return std::nullopt;
    }
    return info;
}

std::string text_row(const ds::Datastore& store, const Node& n, bool long_format) {
    std::string row = std::string(kind_text(n)) + "\t" + std::to_string(n.id()) + "\t" + printed_name(n);
    if (!long_format) return row;
    const std::optional<ds::FileInfo> info = own_info(store, n);
    if (!info) return row + "\t?\t?";
    return row + "\t" + std::to_string(info->size) + "\t" + ds::format_unix_time(info->update_time);
}

nlohmann::json json_row(const ds::Datastore& store, const Node& n, bool long_format) {
    nlohmann::json j = {{"kind", kind_text(n)}, {"id", n.id()}, {"type", n.type}};
    put_name(j, n.raw_name);
    if (n.node.first_block != -1) j["first_block"] = n.node.first_block;
    if (!long_format) return j;
    const std::optional<ds::FileInfo> info = own_info(store, n);
    if (!info) {
        j["size"] = nullptr;
        return j;
    }
    j["size"] = info->size;
    j["update_at"] = ds::format_unix_time(info->update_time);
    j["created"] = ds::iso_utc_time(info->create_time);
    j["modified"] = ds::iso_utc_time(info->update_time);
    j["accessed"] = ds::iso_utc_time(info->access_time);
    return j;
}

// Prints the rows as they are read: a directory whose size claims millions
// of entries is never held whole.
class Rows {
public:
    Rows(const ds::Datastore& store, const Options& opt, const std::string& shown)
        : store_(store), opt_(opt), json_(out_text) {
        if (!opt_.json) return;
        json_.field("schema", kJsonSchema);
        json_.field("path", shown);
        json_.begin_list("entries");
    }
    void add(const Node& n) {
        if (!opt_.json) return out_line(text_row(store_, n, opt_.long_format));
        json_.item(json_row(store_, n, opt_.long_format));
    }
    void end(bool complete) {
        if (!opt_.json) return;
        json_.end_list();
        json_.field("complete", complete);
        json_.finish();
    }

private:
    const ds::Datastore& store_;
    const Options& opt_;
    ds::JsonStream json_;
};

} // namespace
int cmd_ls(ds::Datastore& store, const Options& opt) {
    Resolution r;
    if (int rc = open_and_resolve(store, opt, "dir open error", r); rc != kExitOk) return rc;

    // "ALL DIR FOUND" lists the found directories.
    if (r.node.formatted_root) {
        Rows rows(store, opt, r.shown);
        each_found_dir(store, [&](Node&& n) {
            rows.add(n);
            return true;
        });
        rows.end(true);
        return kExitOk;
    }
    // A file is listed as itself, as ls does; so is a directory entry whose
    // descriptor turns out not to be a directory.
    std::optional<ds::DirLister> lister;
    if (r.node.is_dir) {
        lister.emplace(store.list(r.node.node));
        if (lister->status() == ds::ListStatus::open_error) return fail_dir_open(store, r);
    }
    if (!lister || lister->status() == ds::ListStatus::not_directory) {
        r.node.is_dir = false;
        Rows rows(store, opt, r.shown);
        rows.add(r.node);
        rows.end(true);
        return kExitOk;
    }

    Rows rows(store, opt, r.shown);
    bool stopped = false;
    for (ds::ListedEntry e; lister->next(e);) {
        // A closed stdout (ls | head) ends a long listing.
        if (!out_ok()) {
            stopped = true;
            break;
        }
        rows.add(node_of(std::move(e)));
    }
    const bool complete = !stopped && lister->status() == ds::ListStatus::complete;
    rows.end(complete);
    if (stopped) return kExitFailed;
    // The window keeps the entries read before a short read and says nothing;
    // a script has to learn that the listing is not whole.
    if (!complete) warn(dir_incomplete_text(r.shown));
    if (lister->skipped_entries() > 0) skipped(dir_skipped_text(r.shown, lister->skipped_entries()));
    return kExitOk;
}

} // namespace dscli
