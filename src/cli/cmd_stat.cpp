#include "commands.h"
#include "disks.h"
#include "error_codes.h"
#include "output.h"
#include "resolve.h"
#include "scans.h"

#include "export/provenance.h"
#include "export/rescue_map.h"
#include "text/time_text.h"
#include "text/messages.h"

#include <nlohmann/json.hpp>

namespace dscli {
namespace {

const char* type_name(uint32_t type) {
    switch (type) {
    case ds::kTypeDir: return "directory";
    case ds::kTypeRegular: return "file";
    case ds::kTypeSystem: return "system file";
    case ds::kTypeSymlink: return "symlink";
    default: return "unknown";
    }
}

// Where a run lies: its logical-volume offset, or what stands in its place.
std::string place_text(const ds::Extent& e) {
    if (e.kind == ds::Extent::Kind::data) return e.lv_offset >= 0 ? std::to_string(e.lv_offset) : "unknown";
    return ds::extent_kind_text(e.kind);
}

// The device name the datastore reads a -d by, for the text given to
// --domain: the -d's whole text or its path; empty when none matches.
std::string domain_device(const Options& opt) {
    for (const std::string& text : opt.disks) {
        DiskSpec d;
        std::string error;
        if (parse_disk_spec(text, d, &error) && (text == opt.domain || d.path == opt.domain)) return d.path;
    }
    return {};
}

// A GNU ddrescue domain mapfile of one member disk: '+' for what reading the
// files again needs, '?' for the rest, from 0 to the disk's end.
int stat_domain(ds::Datastore& store, const Options& opt) {
    const std::string device = domain_device(opt);
    if (device.empty()) return usage_error("--domain " + shown_path(opt.domain) + " is not a disk given with -d");
    // Everything read from here on is what opening and reaching the files
    // takes: the opening included.
    store.record_reads();
    if (int rc = open_datastore(store, opt.disks); rc != kExitOk) return rc;
    bool member = false;
    for (int k = 0; k < store.volume().loaded_extents && k < ds::kMaxExtents; ++k)
        member = member || store.volume().volumes[k].device == device;
    if (!member) return fail(shown_path(device) + " is not a member of the volume");
    if (opt.formatted)
        if (int rc = prepare_formatted(store, opt); rc != kExitOk) return rc;
    std::vector<ds::File> files;
    for (const std::string& path : opt.stat_paths) {
        const Resolution r = resolve(store, path, opt.formatted);
        if (r.kind != Resolution::Kind::ok)
            return fail_resolution("file open error", r.detail, r.kind == Resolution::Kind::bad_id);
        if (r.node.formatted_root) return fail("file open error");
        ds::File file;
        if (!store.open_file(r.node.node, file)) return fail("file open error");
        files.push_back(std::move(file));
    }
    const std::vector<ds::ByteSpan> domain = store.rescue_domain(device, files);
    const int64_t size = store.device_size(device);
    if (size < 0) return fail("cannot read the size of " + shown_path(device));

    std::string text = std::string("# Rescue domain written by datumsift ") + ds::program_version() +
                       ": '+' is what reading the files again needs\n"
                       "# current_pos  current_status  current_pass\n0x00000000     ?               1\n"
                       "#      pos        size  status\n";
    int64_t at = 0;
    for (const ds::ByteSpan& r : domain) {
        const int64_t end = std::min(r.end(), size);
        if (end <= at) continue;
        if (r.offset > at) text += ds::mapfile_line(at, r.offset - at, '?');
        const int64_t start = std::max(r.offset, at);
        text += ds::mapfile_line(start, end - start, '+');
        at = end;
    }
    if (size > at) text += ds::mapfile_line(at, size - at, '?');
    out_text(text);
    return kExitOk;
}

} // namespace

// One descriptor as the listing of an inode shows it: its fields, then where
// its bytes lie.
int cmd_stat(ds::Datastore& store, const Options& given) {
    Options opt = given;
    if (!opt.stat_paths.empty()) opt.path = opt.stat_paths.front();
    if (!opt.domain.empty()) return stat_domain(store, opt);
    if (opt.stat_paths.size() > 1) return usage_error("stat takes one PATH; several only with --domain");
    Resolution r;
    if (int rc = open_and_resolve(store, opt, "file open error", r); rc != kExitOk) return rc;
    if (r.node.formatted_root) return fail(kCodeFileOpen, "file open error");

    // A found directory is read through the sub-block the recovery found in
    // place of its reused first block; its extents show that sub-block.
    ds::File file;
    if (!store.open_file(r.node.node, file)) return fail(kCodeFileOpen, "file open error");
    const ds::FileInfo& inode = file.info();
    std::vector<ds::Extent> extents = store.extents(file);

    if (opt.json) {
        nlohmann::json runs = nlohmann::json::array();
        for (const ds::Extent& e : extents) {
            nlohmann::json j = {{"offset", e.offset}, {"length", e.length}, {"block_id", e.block_id},
                                {"kind", ds::extent_kind_text(e.kind)}};
            j["lv_offset"] = e.lv_offset >= 0 ? nlohmann::json(e.lv_offset) : nlohmann::json(nullptr);
            runs.push_back(std::move(j));
        }
        nlohmann::json doc = {{"id", r.node.id()},
                              {"type", inode.type},
                              {"size", inode.size},
                              {"block_size", inode.block_size},
                              {"block_count", inode.block_count},
                              {"addr_mode", inode.addr_mode},
                              {"created", ds::iso_utc_time(inode.create_time)},
                              {"modified", ds::iso_utc_time(inode.update_time)},
                              {"accessed", ds::iso_utc_time(inode.access_time)}};
        if (r.node.node.first_block != -1) doc["first_block"] = r.node.node.first_block;
        doc["extents"] = std::move(runs);
        out_json(doc);
        return kExitOk;
    }
    out_line("id: " + std::to_string(r.node.id()));
    out_line("type: " + std::to_string(inode.type) + " (" + type_name(inode.type) + ")");
    out_line("size: " + std::to_string(inode.size));
    out_line("block_size: " + std::to_string(inode.block_size));
    out_line("block_count: " + std::to_string(inode.block_count));
    out_line("addr_mode: " + std::to_string(inode.addr_mode));
    out_line("created: " + ds::format_unix_time(inode.create_time));
    out_line("modified: " + ds::format_unix_time(inode.update_time));
    out_line("accessed: " + ds::format_unix_time(inode.access_time));
    if (r.node.node.first_block != -1) out_line("first_block: " + std::to_string(r.node.node.first_block));
    out_line("extents:");
    for (const ds::Extent& e : extents)
        out_line(std::to_string(e.offset) + "\t" + std::to_string(e.length) + "\t" + std::to_string(e.block_id) +
                 "\t" + place_text(e));
    return kExitOk;
}

} // namespace dscli
