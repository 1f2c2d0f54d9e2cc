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

#include <charconv>

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
void append_body_name(std::string& out, std::string_view name) {
    size_t from = 0;
    for (size_t bar; (bar = name.find('|', from)) != std::string::npos; from = bar + 1) {
        out.append(name, from, bar - from);
        out += "\\x7c";
    }
    out.append(name, from);
}

template <typename T>
void append_number(std::string& out, T value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// One line of a body file: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime.
// No change time is kept, so ctime is 0; no digest is taken, so MD5 is 0.
// Its head (up to the mode) needs only the name, its tail the descriptor.
void body_head(std::string& out, std::string_view name, uint32_t id) {
    out.append("0|", 2);
    append_body_name(out, name);
    out += '|';
    append_number(out, id);
    out += '|';
}

void body_tail(std::string& out, const ds::FileInfo& inode) {
    out += mode_text(inode.type);
    out += "|0|0|";
    append_number(out, inode.size);
    out += '|';
    append_number(out, inode.access_time);
    out += '|';
    append_number(out, inode.update_time);
    out += "|0|";
    append_number(out, inode.create_time);
    out += '\n';
}

// Lines are printed this many bytes at a time: a walk makes a million.
constexpr size_t kPrintedAtOnce = 64 * 1024;

// Prints the line for every node below top; a descriptor that cannot be
// read is reported and left out rather than dated 1970. The walk lists the
// directories and starts each line on a thread of its own while this one
// reads the descriptors.
int emit_tree(const ds::Datastore& store, const Node& top, const std::string& top_path) {
    std::string lines;
    const int rc = walk_tree_threaded(
        store, top, top_path,
        [](const Node& n, const std::string& path, std::string& text) { body_head(text, path, n.id()); },
        [&](const ds::Node& node, std::string_view path, std::string_view head) {
            ds::FileInfo inode;
            if (!store.stat(node, inode)) {
                if (rescue_run()) skipped("the descriptor of " + std::string(path));
                else warn(kCodeFileOpen, "file open error|path:" + std::string(path));
                return;
            }
            lines += head;
            body_tail(lines, inode);
            if (lines.size() >= kPrintedAtOnce) {
                out_text(lines);
                lines.clear();
            }
        });
    if (!lines.empty()) out_text(lines);
    return rc;
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
    std::string line;
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
        line.clear();
        body_head(line, path + " (deleted)", item.id);
        body_tail(line, inode);
        out_text(line);
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
