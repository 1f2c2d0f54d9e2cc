#include "export_folder.h"

#include "interrupt.h"
#include "error_codes.h"
#include "output.h"
#include "progress.h"
#include "export_record.h"

#include "nodes.h"
#include "export/folder_export.h"
#include "export/json_stream.h"
#include "text/messages.h"
#include "text/name_text.h"
#include "text/time_text.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

namespace dscli {
namespace {

// A member's value as a document written with an indent of 2 holds it: a
// nested object or list spans lines one level deeper.
std::string indented(const nlohmann::json& value) {
    const std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\n') out += "  ";
    }
    return out;
}

std::string summary_text(const ds::FolderExportResult& res, bool rescue) {
    std::string text = "files:" + std::to_string(res.files) + " directories:" + std::to_string(res.directories) +
                       " bytes:" + std::to_string(res.bytes) + " failures:" + std::to_string(res.failures) +
                       " renamed:" + std::to_string(res.renamed);
    if (rescue)
        text += " unreadable_items:" + std::to_string(res.unreadable_items) + " unreadable_bytes:" +
                std::to_string(res.unreadable_bytes) + " skipped_entries:" + std::to_string(res.skipped_entries);
    return text;
}

// The digest line of a copied file. The host encoding leaves C1 controls and
// direction overrides in a name (a host directory holds them), and printed
// raw they would drive or disguise the terminal: a path holding one is
// printed whole as every printed name is (no file sha256sum could check).
// Other paths are written as sha256sum writes them, so that sha256sum -c
// reads the lines back.
std::string copy_digest_line(const std::string& sha256, const std::string& root, const std::string& host_path) {
    if (ds::has_terminal_controls(host_path)) return sha256 + "  " + shown_path(root + host_path);
    return digest_line(sha256, root + host_path);
}

nlohmann::json item_json(const ds::FolderItem& it) {
    nlohmann::json j = {{"path", it.path},
                        {"host_path", it.host_path},
                        {"type", it.is_dir ? "dir" : "file"},
                        {"id", it.descriptor_id},
                        {"size", it.size},
                        {"status", ds::folder_status_text(it.status)}};
    if (!it.is_dir) {
        j["bytes_written"] = it.bytes_written;
        j["sha256"] = it.sha256;
    }
    if (it.size >= 0) {
        j["created"] = ds::iso_utc_time(it.create_time);
        j["modified"] = ds::iso_utc_time(it.update_time);
        j["accessed"] = ds::iso_utc_time(it.atime);
    }
    if (!it.detail.empty()) j["detail"] = it.detail;
    if (it.path != ".") put_name(j, it.name);
    if (it.rescue) ds::put_unreadable(j, it);
    return j;
}

} // namespace

int export_folder(ds::Datastore& store, const Options& opt, const Resolution& r) {
    // "ALL DIR FOUND": every found directory, each into a folder named as
    // the tree names it.
    std::vector<ds::FolderSource> found;
    if (r.node.formatted_root) {
        each_found_dir(store, [&](Node&& n) {
            found.push_back({n.node, n.name});
            return true;
        });
        if (found.empty()) {
            fail(kCodeFileOpen, "file open error");
            return fail("the format recovery found no directory");
        }
    }
    ds::FolderExportOptions fo;
    fo.file_name = r.node.raw_name;
    fo.source_text = r.node.formatted_root ? r.node.name : r.shown;
    fo.replace_manifest = opt.replace_manifest;
    fo.rescue = opt.rescue;
    // Rendered when the manifest is written, so that its end time is the export's.
    fo.provenance = [&store, &opt] { return provenance_json(store, opt).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); };

    // Items are printed as they are settled: a folder of millions of files is
    // never held whole. The JSON document puts its items first for that, and
    // the totals, known only at the end, after them.
    const std::string root = opt.dest.empty() || opt.dest.back() == '/' ? opt.dest : opt.dest + "/";
    // The document is begun at the first item, or at the end: a refused
    // export prints no document of its own, only the failure's.
    ds::JsonStream json(out_text);
    bool json_begun = false;
    auto begin_json = [&] {
        if (json_begun) return;
        json_begun = true;
        json.field("schema", kJsonSchema);
        json.begin_list("items");
    };
    fo.item_done = [&](const ds::FolderItem& it) {
        if (opt.json) {
            begin_json();
            json.item(item_json(it));
        } else if (!it.is_dir && !it.sha256.empty()) {
            out_line(copy_digest_line(it.sha256, root, it.host_path));
        }
        // What the operator must know about, in the order met. A renamed
        // entry is copied whole; it is reported, not counted as a failure.
        const std::string shown = it.path == "." ? r.shown : it.path;
        if (it.status == ds::FolderItemStatus::ok) {
            if (it.renamed) fail("renamed: " + shown + " -> " + shown_path(it.host_path) + " (" + it.detail + ")");
        } else if (it.status == ds::FolderItemStatus::partly_unreadable) {
            // Counted and named, but not a failure: exit status 3 says it.
            notice("unreadable: " + shown + ": " + it.detail);
        } else if (it.why != ds::FolderItemWhy::not_reached) {
            // The detail of a failed copy names no reason of the system's: it
            // is the manifest's and stays the same on every host.
            const std::string reason = it.why == ds::FolderItemWhy::copy_failed ? ds::reason_text(it.sys_errno) : "";
            fail(std::string(ds::folder_status_text(it.status)) + ": " + shown + ": " + it.detail + reason);
        }
    };

    install_interrupt_handler();
    // The total is known once the folder has been listed, at the first report.
    std::optional<ProgressBar> bar;
    fo.progress = [&](int64_t done, int64_t total) {
        if (!bar) bar.emplace(opt.quiet, ProgressBar::Unit::bytes, total);
        bar->update(done);
        return !interrupted();
    };
    ds::FolderExportResult res = r.node.formatted_root ? ds::folder_export_set(store, found, opt.dest, fo)
                                                       : ds::folder_export(store, r.node.node, opt.dest, fo);
    if (bar) bar->finish();

    if (res.refused != ds::FolderRefusal::none) {
        if (res.refused == ds::FolderRefusal::source_unreadable) return fail(kCodeFileOpen, "file open error");
        fail(kCodeFileSave, "file save error|result:-1");
        return fail(shown_path(ds::folder_refusal_message(res.refused, res.refused_path, res.sys_errno)) +
                    (res.refused == ds::FolderRefusal::manifest_exists ? " (--replace-manifest replaces it)" : ""));
    }

    if (opt.json) {
        nlohmann::json doc = {{"result", res.cancelled ? "cancelled" : res.complete() ? "success" : "failed"},
                  {"source", r.shown},
                  {"id", r.node.id()},
                  {"manifest", res.manifest_written ? nlohmann::json(ds::utf8_or_printable(res.manifest_path)) : nlohmann::json()},
                  {"files", res.files},
                  {"directories", res.directories},
                  {"bytes", res.bytes},
                  {"failures", res.failures},
                  {"renamed", res.renamed}};
        if (opt.rescue) {
            doc["unreadable_items"] = res.unreadable_items;
            doc["unreadable_bytes"] = res.unreadable_bytes;
            doc["skipped_entries"] = res.skipped_entries;
        }
        put_name(doc, opt.dest, "dest");
        doc["provenance"] = provenance_json(store, opt);
        // The rest of the document after its items, in the order and layout
        // of a whole document (members sorted, nested values indented).
        begin_json();
        json.end_list();
        for (const auto& [key, value] : doc.items()) json.field_text(key, indented(value));
        json.finish();
    }
    if (res.entry_limit) fail("more entries than the volume has descriptors; the copy stopped there");
    if (res.sync_errno != 0)
        fail(std::string("the copy could not be put on the host's disk: ") + std::strerror(res.sync_errno));
    if (!res.manifest_written) fail("cannot write the manifest " + shown_path(res.manifest_path));

    if (res.cancelled) {
        fail(kCodeCancelled, "export cancelled|written:" + std::to_string(res.bytes));
        return fail(summary_text(res, opt.rescue));
    }
    if (!res.complete()) {
        fail("folder export incomplete|" + summary_text(res, opt.rescue));
        return kExitFailed;
    }
    if (!opt.json) {
        out_line(summary_text(res, opt.rescue));
        out_line("manifest: " + shown_path(res.manifest_path));
        out_line("success");
    }
    if (res.unreadable_items > 0) {
        notice("unreadable: " + std::to_string(res.unreadable_items) + " items, " + std::to_string(res.unreadable_bytes) +
               " bytes written as zeros, " + std::to_string(res.skipped_entries) +
               " directory entries passed over; the manifest names every range");
        return kExitIncomplete;
    }
    return kExitOk;
}

} // namespace dscli
