#include "commands.h"
#include "disks.h"
#include "interrupt.h"
#include "error_codes.h"
#include "output.h"
#include "resolve.h"
#include "scans.h"
#include "tree_walk.h"

#include "text/messages.h"
#include "text/row_text.h"

namespace dscli {
namespace {

// The type letter twice, as timeline tools expect: this file system keeps
// no permissions, so every one is shown.
const char* mode_text(uint32_t type) {
    switch (type) {
    case ds::kTypeDir: return "d/drwxrwxrwx";
    case ds::kTypeRegular:
    case ds::kTypeSystem: return "r/rrwxrwxrwx";
    case ds::kTypeSymlink: return "l/lrwxrwxrwx";
    default: return "-/----------";
    }
}

// "|" separates the fields of a line, so a name holding one shows it escaped.
std::string body_name(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '|')
            out += "\\x7c";
        else
            out += c;
    }
    return out;
}

// One line of a body file: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime.
// No change time is kept, so ctime is 0; no digest is taken, so MD5 is 0.
std::string body_line(const std::string& name, uint32_t id, const ds::FileInfo& inode) {
    return "0|" + body_name(name) + "|" + std::to_string(id) + "|" + mode_text(inode.type) + "|0|0|" +
           std::to_string(inode.size) + "|" + std::to_string(inode.access_time) + "|" + std::to_string(inode.update_time) +
           "|0|" + std::to_string(inode.create_time);
}

// Prints the line for every node below top; a descriptor that cannot be
// read is reported and left out rather than dated 1970.
int emit_tree(const ds::Datastore& store, const Node& top, const std::string& top_path) {
    return walk_tree(store, top, top_path, [&store](const Node& n, const std::string& path) {
        ds::FileInfo inode;
        if (!store.stat(n.node, inode)) {
            if (rescue_run()) skipped("the descriptor of " + path);
            else warn(kCodeFileOpen, "file open error|path:" + path);
            return;
        }
        out_line(body_line(path, n.id(), inode));
    });
}

int emit_deleted(const ds::Datastore& store, const Options& opt) {
    // The ids first (the deleted directories too, whose entries name the
    // files), then the names, then one line per file: what is held is one id
    // per deleted item and the names found, never a list of free slots.
    std::vector<ds::DeletedItem> items;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return store.scan_deleted(progress, [&](const ds::FileRow& row) {
            items.push_back({row.descriptor_id, row.is_dir});
        }, true).end;
    });
    // The files found before a scan stopped stay, as they stay in the list.
    const ds::DeletedNames names =
        end == ds::ScanEnd::cancelled ? ds::DeletedNames{} : gather_deleted_names(store, items);
    for (const ds::DeletedItem& item : items) {
        if (item.is_dir || interrupted()) continue;
        ds::FileInfo inode;
        if (!store.stat({item.id, -1}, inode)) {
            warn(kCodeFileOpen, "file open error|id:" + std::to_string(item.id));
            continue;
        }
        const auto name = names.find(item.id);
        const std::string path =
            name == names.end() ? "$deleted/" + std::to_string(item.id) : ds::deleted_path_text(name->second);
        out_line(body_line(path + " (deleted)", item.id, inode));
    }
    if (end == ds::ScanEnd::finished) return interrupted() ? fail(scan_end_code(ds::ScanEnd::cancelled), ds::scan_end_message(ds::ScanEnd::cancelled)) : kExitOk;
    return fail(scan_end_code(end), ds::scan_end_message(end));
}

} // namespace

// A body file for timeline tools: every file and directory below PATH, and
// on request the found directories' contents and the deleted files.
int cmd_timeline(ds::Datastore& store, const Options& opt) {
    if (opt.json) return usage_error("timeline writes a body file; --json does not apply");
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    Resolution r = resolve(store, opt.path, false);
    if (r.kind != Resolution::Kind::ok)
        return fail_resolution("dir open error", r.detail, r.kind == Resolution::Kind::bad_id);
    if (!r.node.is_dir) return fail_dir_open(store, r);

    install_interrupt_handler();
    if ((rc = emit_tree(store, r.node, r.shown)) != kExitOk) return rc;
    if (opt.formatted) {
        if ((rc = prepare_formatted(store, opt)) != kExitOk) return rc;
        if ((rc = emit_tree(store, formatted_root_node(), "")) != kExitOk) return rc;
    }
    if (opt.deleted) return emit_deleted(store, opt);
    return kExitOk;
}

} // namespace dscli
