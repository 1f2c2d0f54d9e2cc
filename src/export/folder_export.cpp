#include "export/folder_export.h"
#include "vmfs/datastore.h"

#include "export/chunk_digest.h"
#include "vmfs/dirent.h"
#include "export/file_export.h"
#include "export/host_write.h"
#include "vmfs/found_dir.h"
#include "vmfs/inode.h"
#include "export/input_guard.h"
#include "text/name_text.h"
#include "text/time_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace ds {
namespace {

// Far deeper than any real datastore; a chain of distinct directories on a
// damaged one can be as long as there are descriptors. The host's own path
// limit ends the copy long before this, with a reported failure.
constexpr int kMaxDepth = 1024;

// Longest host name written: NAME_MAX (255) less room for the "~N" of a
// duplicate and the ".partial" of a copy in progress.
constexpr size_t kHostNameRoom = 255 - 16;

// Host names: what a host directory entry cannot hold, and the control
// characters that would reach a terminal through ls of the copy.
bool host_must(unsigned c, size_t n) { return n == 0 || c == '%' || c == '/' || c < 0x20 || c == 0x7F; }

std::string join(const std::string& parent, const std::string& name) {
    return parent.empty() || parent == "." ? name : parent + "/" + name;
}

// JSON string.
std::string jstr(const std::string& s) {
    std::string out = "\"";
    // A host path that is not UTF-8 (DEST itself may be one) is written in
    // its printed form, so that the manifest stays JSON; the exact bytes go
    // beside it in hex.
    for (unsigned char c : utf8_or_printable(s)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct PlanItem {
    FolderItem item;
    std::string partial_host_path;   // files: where the copy is written until it is whole
    size_t end = 0;                  // directories: index past their last descendant
    int64_t first_block = -1;
};

struct ChildEntry {
    uint32_t type = 0;
    uint32_t id = 0;
    std::string raw;     // cleaned name bytes
    std::string shown;   // as the tree shows it
    int64_t first_block = -1;
};

class Planner {
public:
    explicit Planner(Datastore& store) : store(store) {}
    Datastore& store;
    std::vector<PlanItem> items;

    void add_file(uint32_t id, const std::string& path, const std::string& host_path,
                  const std::string& partial_host_path, const std::string& rename_note) {
        PlanItem p;
        p.item.path = path;
        p.item.host_path = host_path;
        p.item.descriptor_id = id;
        p.partial_host_path = partial_host_path;
        note_rename(p.item, rename_note);
        tvmfs_inode inode;
        if (inode_get(store, id, inode) != 0) {
            p.item.status = FolderItemStatus::failed;
            p.item.detail = "its descriptor cannot be read";
        } else {
            fill_times(p.item, inode);
        }
        items.push_back(std::move(p));
    }

    // Adds directory id and, when it may be entered, everything below it.
    void add_dir(uint32_t id, int64_t first_block, const std::string& path, const std::string& host_path,
                 const std::string& rename_note) {
        size_t at = items.size();
        items.emplace_back();
        {
            PlanItem& p = items[at];
            p.item.is_dir = true;
            p.item.path = path;
            p.item.host_path = host_path;
            p.item.descriptor_id = id;
            p.first_block = first_block;
            note_rename(p.item, rename_note);
        }
        auto seen = entered_.find(id);
        bool on_path = false;
        for (uint32_t a : path_ids_) on_path = on_path || a == id;
        if (on_path || seen != entered_.end() || static_cast<int>(path_ids_.size()) >= kMaxDepth) {
            PlanItem& p = items[at];
            p.item.status = FolderItemStatus::not_followed;
            p.item.detail = on_path                  ? "a cycle: it is " + display(seen->second) + " again"
                            : seen != entered_.end() ? "a second link to " + display(seen->second) + ", copied there"
                                                     : "deeper than " + std::to_string(kMaxDepth) + " levels";
            p.end = items.size();
            return;
        }
        tvmfs_inode dir;
        if (inode_get(store, id, dir) != 0) {
            items[at].item.status = FolderItemStatus::failed;
            items[at].item.detail = "its descriptor cannot be read";
            items[at].end = items.size();
            return;
        }
        fill_times(items[at].item, dir);
        entered_.emplace(id, path);
        substitute_first_block(dir, first_block);

        std::vector<ChildEntry> kids;
        bool whole = dir_walk(store, dir, [&](const tvmfs_dirent& e) {
            if (e.type != kTypeDir && e.type != kTypeRegular && e.type != kTypeSystem) return;
            std::string raw = dirent_name(e);
            if (display_name(e) == "." || display_name(e) == "..") return;
            kids.push_back({e.type, e.block_id, raw, printable_name(raw)});
        });
        if (!whole) {
            items[at].item.status = FolderItemStatus::incomplete;
            items[at].item.detail = "a read ended its listing early; the entries before it are copied";
        }
        path_ids_.push_back(id);
        add_entries(kids, path, host_path);
        path_ids_.pop_back();
        items[at].end = items.size();
    }

    // The top of a copy of several found directories: the destination
    // itself, standing for no descriptor, and each source in a folder of its
    // own name.
    void add_found_set(const std::vector<FolderSource>& sources) {
        const size_t at = items.size();
        items.emplace_back();
        items[at].item.is_dir = true;
        items[at].item.path = ".";
        items[at].item.host_path = ".";
        std::vector<ChildEntry> kids;
        for (const FolderSource& f : sources) kids.push_back({kTypeDir, f.id, f.name, f.name, f.first_block});
        add_entries(kids, ".", ".");
        items[at].end = items.size();
    }

private:
    std::vector<uint32_t> path_ids_;
    std::map<uint32_t, std::string> entered_;   // directory id -> its path in this copy

    void add_entries(const std::vector<ChildEntry>& kids, const std::string& path, const std::string& host_path) {
        // Host names first, all of them, so that a ".partial" name never
        // takes the place of another entry's name.
        std::set<std::string> used;
        std::vector<std::string> names(kids.size());
        std::vector<std::string> notes(kids.size());
        for (size_t i = 0; i < kids.size(); ++i) {
            bool shortened = false;
            std::string base = host_name_fit(kids[i].raw, shortened);
            std::string name = unique(used, base);
            if (name != kids[i].raw)
                notes[i] = name != base ? "name taken by another entry; renamed"
                           : shortened  ? "name too long for the host; shortened"
                                        : "name encoded for the host";
            names[i] = name;
        }
        std::vector<std::string> partials(kids.size());
        for (size_t i = 0; i < kids.size(); ++i)
            if (kids[i].type != kTypeDir) partials[i] = unique(used, names[i] + ".partial");

        for (size_t i = 0; i < kids.size(); ++i) {
            std::string child_path = join(path, kids[i].shown);
            std::string child_host = join(host_path, names[i]);
            const size_t at = items.size();
            bool as_dir = false;
            if (kids[i].type == kTypeDir) {
                // An entry marked as a directory whose descriptor is not one
                // is copied as the file it is, as the tree exports it.
                tvmfs_inode probe;
                as_dir = inode_get(store, kids[i].id, probe) != 0 || probe.type == kTypeDir;
            }
            if (as_dir) {
                add_dir(kids[i].id, kids[i].first_block, child_path, child_host, notes[i]);
            } else {
                std::string partial = partials[i].empty() ? unique(used, names[i] + ".partial") : partials[i];
                add_file(kids[i].id, child_path, child_host, join(host_path, partial), notes[i]);
            }
            items[at].item.name = kids[i].raw;
        }
    }

    static std::string display(const std::string& path) { return path == "." ? "the exported directory" : path; }

    static std::string unique(std::set<std::string>& used, const std::string& base) {
        std::string name = base;
        for (int k = 2; !used.insert(name).second; ++k) name = base + "~" + std::to_string(k);
        return name;
    }

    static void note_rename(FolderItem& it, const std::string& note) {
        if (note.empty()) return;
        it.renamed = true;
        it.detail = note;
    }

    static void fill_times(FolderItem& it, const tvmfs_inode& inode) {
        it.size = inode.size;
        it.create_time = inode.create_time;
        it.update_time = inode.update_time;
        it.atime = inode.atime;
    }
};

bool write_manifest(const HostDir& parent, const std::string& manifest_name, const FolderExportOptions& options,
                    const FolderExportResult& r, const std::string& source, uint32_t top_id, const std::string& dest) {
    const bool replace = options.replace_manifest;
    std::string out = "{\n";
    out += "  \"schema\": 1,\n";
    if (options.provenance) out += "  \"provenance\": " + options.provenance() + ",\n";
    out += "  \"source\": " + jstr(source) + ",\n";
    out += "  \"id\": " + std::to_string(top_id) + ",\n";
    out += "  \"destination\": " + jstr(dest) + ",\n";
    if (!is_utf8(dest)) out += "  \"destination_bytes\": " + jstr(hex_bytes(dest)) + ",\n";
    out += "  \"complete\": " + std::string(r.failures == 0 && !r.cancelled ? "true" : "false") + ",\n";
    out += "  \"cancelled\": " + std::string(r.cancelled ? "true" : "false") + ",\n";
    out += "  \"files\": " + std::to_string(r.files) + ", \"directories\": " + std::to_string(r.directories) +
           ", \"bytes\": " + std::to_string(r.bytes) + ", \"failures\": " + std::to_string(r.failures) +
           ", \"renamed\": " + std::to_string(r.renamed) + ",\n";
    out += "  \"items\": [";
    for (size_t i = 0; i < r.items.size(); ++i) {
        const FolderItem& it = r.items[i];
        out += i ? ",\n    {" : "\n    {";
        out += "\"path\": " + jstr(it.path) + ", \"host_path\": " + jstr(it.host_path);
        if (it.path != ".") out += ", \"name\": " + jstr(is_utf8(it.name) ? it.name : printable_name(it.name));
        if (!is_utf8(it.name)) out += ", \"name_bytes\": " + jstr(hex_bytes(it.name));
        out += ", \"type\": " + jstr(it.is_dir ? "dir" : "file");
        out += ", \"id\": " + std::to_string(it.descriptor_id);
        out += ", \"size\": " + std::to_string(it.size);
        if (!it.is_dir) {
            out += ", \"bytes_written\": " + std::to_string(it.bytes_written);
            out += ", \"sha256\": " + jstr(it.sha256);
        }
        if (it.size >= 0) {
            out += ", \"created\": " + jstr(iso_utc_time(it.create_time));
            out += ", \"modified\": " + jstr(iso_utc_time(it.update_time));
            out += ", \"accessed\": " + jstr(iso_utc_time(it.atime));
        }
        out += ", \"status\": " + jstr(folder_status_text(it.status));
        if (!it.detail.empty()) out += ", \"detail\": " + jstr(it.detail);
        out += "}";
    }
    out += r.items.empty() ? "]\n}\n" : "\n  ]\n}\n";

    // Never over anything that is there: a manifest the operator allowed to
    // be replaced is written under a name of its own first and then renamed
    // over the old one, which is replaced as a name, never followed.
    const std::string name = replace ? "." + manifest_name + ".new" : manifest_name;
    HostFile f = HostFile::create(parent, name);
    if (!f.ok()) return false;
    // On the disk, like the files it vouches for.
    const bool ok = f.write(reinterpret_cast<const uint8_t*>(out.data()), static_cast<int64_t>(out.size())) && f.close();
    if (!ok) {
        parent.remove(name);
        return false;
    }
    return !replace || parent.rename(name, manifest_name, true);
}

std::string export_failure_text(const ExportResult& r) {
    switch (r.failure) {
    case ExportFailure::create: return "cannot create the host file";
    case ExportFailure::read:
        return "a read of the datastore failed after " + std::to_string(r.bytes_written) + " bytes";
    case ExportFailure::write: return "cannot write the host file";
    case ExportFailure::negative_size: return "the descriptor gives a negative size";
    case ExportFailure::destination_is_input: return "the host file is a disk being read";
    case ExportFailure::destination_is_device: return "the host file is a block device";
    case ExportFailure::cancelled: return "cancelled after " + std::to_string(r.bytes_written) + " bytes";
    case ExportFailure::past_addressable:
        return "its size reaches past what its block list can address; stopped after " +
               std::to_string(r.bytes_written) + " bytes";
    case ExportFailure::past_volume:
        return "it holds more data than the logical volume can; stopped after " + std::to_string(r.bytes_written) +
               " bytes";
    case ExportFailure::exists: return "something is already at the host file's name";
    default: return "";
    }
}

} // namespace

std::string host_name_encode(const std::string& raw) {
    if (raw.empty()) return "%";
    if (raw == ".") return "%2E";
    if (raw == "..") return "%2E%2E";
    return escape_name(raw, "%", host_must);
}

bool host_name_decode(const std::string& host, std::string& raw) {
    raw.clear();
    if (host == "%") return true;
    return unescape_name(host, "%", raw);
}

std::string host_name_fit(const std::string& raw, bool& shortened) {
    std::string host = host_name_encode(raw);
    shortened = host.size() > kHostNameRoom;
    if (!shortened) return host;
    // Keep a short extension so that the host still knows the kind of file.
    std::string ext;
    const size_t dot = host.rfind('.');
    if (dot != std::string::npos && dot > 0 && host.size() - dot <= 16) ext = host.substr(dot);
    const std::string mark = "~" + sha256_hex(reinterpret_cast<const uint8_t*>(raw.data()), static_cast<int64_t>(raw.size())).substr(0, 12);
    size_t cut = kHostNameRoom - mark.size() - ext.size();
    // Never cut inside a UTF-8 character or a %XX escape.
    while (cut > 0 && (static_cast<unsigned char>(host[cut]) & 0xC0) == 0x80) --cut;
    if (cut >= 1 && host[cut - 1] == '%') cut -= 1;
    else if (cut >= 2 && host[cut - 2] == '%') cut -= 2;
    return host.substr(0, cut) + mark + ext;
}

const char* folder_status_text(FolderItemStatus s) {
    switch (s) {
    case FolderItemStatus::ok: return "ok";
    case FolderItemStatus::partial: return "partial";
    case FolderItemStatus::failed: return "failed";
    case FolderItemStatus::not_followed: return "not followed";
    case FolderItemStatus::incomplete: return "incomplete";
    case FolderItemStatus::cancelled: return "cancelled";
    }
    return "";
}

namespace {

// Where a copy goes: the destination directory, opened, and the directory
// that holds it and the manifest.
struct Destination {
    std::string shown;        // the destination as the operator gave it
    HostDir parent;
    std::string name;         // of the destination inside parent
    std::string manifest_name;
    HostDir top;
};

std::string last_name(const std::string& host_path) {
    const size_t slash = host_path.rfind('/');
    return slash == std::string::npos ? host_path : host_path.substr(slash + 1);
}

// Checks and creates the destination. False (with r.refusal) when nothing
// may be written there; nothing is written before every check has passed.
bool prepare_destination(Datastore& store, const std::string& dest_dir, const FolderExportOptions& options, Destination& d,
                         FolderExportResult& r, const std::function<bool()>& source_ok) {
    d.shown = dest_dir;
    while (d.shown.size() > 1 && d.shown.back() == '/') d.shown.pop_back();
    if (d.shown.empty()) {
        r.refusal = "no destination directory given";
        return false;
    }
    // The manifest goes beside the destination, named after it. A
    // destination given as "e/." or "..", or through a link, is resolved
    // first, so that the manifest's place is never inside the copy.
    std::string dir, base = d.shown;
    split_host_path(d.shown, dir, d.name);
    struct stat st {};
    if (d.name.empty() || d.name == "." || d.name == ".." ||
        (::lstat(d.shown.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
        char* real = ::realpath(d.shown.c_str(), nullptr);
        if (!real) {
            r.refusal = "cannot create " + d.shown + ": " + std::strerror(errno);
            return false;
        }
        base = real;
        ::free(real);
        split_host_path(base, dir, d.name);
        if (d.name.empty()) {
            r.refusal = d.shown + " has no directory above it to hold the manifest";
            return false;
        }
    }
    d.manifest_name = d.name + ".manifest.json";
    r.manifest_path = base + ".manifest.json";
    if (!source_ok()) {
        r.refusal = "file open error";
        return false;
    }
    d.parent = HostDir::open(dir);
    if (!d.parent.ok()) {
        r.refusal = "cannot open " + dir + ": " + std::strerror(errno);
        return false;
    }
    const bool exists = d.parent.stat_at(d.name, st);
    if (exists && !S_ISDIR(st.st_mode)) {
        r.refusal = d.shown + " exists and is not a directory";
        return false;
    }
    if (exists) {
        d.top = d.parent.open_dir(d.name);
        if (!d.top.ok()) {
            r.refusal = "cannot open " + d.shown + ": " + std::strerror(errno);
            return false;
        }
        // A folder export replaces nothing on the host: every name it writes
        // is its own, and no file found there can be mistaken for part of
        // the copy.
        if (!d.top.is_empty()) {
            r.refusal = d.shown + " is not empty";
            return false;
        }
    }
    struct stat mst {};
    if (d.parent.stat_at(d.manifest_name, mst)) {
        if (!options.replace_manifest) {
            r.manifest_exists = true;
            r.refusal = "refusing to replace the manifest " + r.manifest_path;
            return false;
        }
        if (!S_ISREG(mst.st_mode) || overlaps_input(store, mst)) {
            r.refusal = "refusing to replace " + r.manifest_path + ", which is not a manifest";
            return false;
        }
    }
    struct stat where {};
    if ((d.top.ok() ? d.top.stat_self(where) : d.parent.stat_self(where)) && overlaps_input(store, where)) {
        r.refusal = "refusing to write to " + d.shown + ", on a disk being read";
        return false;
    }
    if (!exists) {
        d.top = d.parent.make_dir(d.name);
        if (!d.top.ok()) {
            r.refusal = "cannot create " + d.shown + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// A host directory open while its entries are written.
struct OpenDir {
    size_t end = 0;                    // index past its last descendant
    HostDir dir;
    const FolderItem* item = nullptr;  // for its times; none for a set's top
};

void finish_dir(const OpenDir& o) {
    if (o.item && o.item->size >= 0 &&
        (o.item->status == FolderItemStatus::ok || o.item->status == FolderItemStatus::incomplete))
        o.dir.set_times(o.item->atime, o.item->update_time);   // last: writing its entries changed them
}

// Copies what the plan lists and writes the manifest.
void run_plan(Datastore& store, Planner& plan, Destination& d, const FolderExportOptions& options, uint32_t top_id,
              FolderExportResult& r) {
    int64_t total = 0;
    for (const PlanItem& p : plan.items)
        if (!p.item.is_dir && p.item.status == FolderItemStatus::ok && p.item.size > 0)
            total = p.item.size > INT64_MAX - total ? INT64_MAX : total + p.item.size;

    std::vector<OpenDir> open;
    open.push_back({plan.items.size(), std::move(d.top), nullptr});
    int64_t done_before = 0;
    size_t skip_until = 0;   // descendants of a directory that could not be created
    std::string skip_reason;
    for (size_t i = 0; i < plan.items.size(); ++i) {
        PlanItem& p = plan.items[i];
        FolderItem& it = p.item;
        while (open.size() > 1 && open.back().end <= i) {
            finish_dir(open.back());
            open.pop_back();
        }
        if (r.cancelled) {
            it.status = FolderItemStatus::cancelled;
            it.detail = "not reached";
            continue;
        }
        if (i < skip_until && it.status == FolderItemStatus::ok) {
            it.status = FolderItemStatus::failed;
            it.detail = skip_reason;
        }
        if (it.status == FolderItemStatus::failed || it.status == FolderItemStatus::not_followed) continue;
        const HostDir& parent = open.back().dir;
        const std::string name = last_name(it.host_path);
        if (it.is_dir) {
            if (it.host_path == ".") {
                ++r.directories;
                open.front().item = &it;
                continue;
            }
            HostDir made = parent.make_dir(name);
            if (made.ok()) {
                ++r.directories;
                open.push_back({p.end, std::move(made), &it});
            } else {
                it.status = FolderItemStatus::failed;
                it.detail = std::string(errno == EEXIST ? "something is in the way on the host: "
                                                        : "cannot create the host directory: ") +
                            std::strerror(errno);
                if (p.end > skip_until) {
                    skip_until = p.end;
                    skip_reason = "its directory " + it.path + " could not be created on the host";
                }
            }
            continue;
        }
        tvmfs_inode inode;
        if (inode_get(store, it.descriptor_id, inode) != 0) {
            it.status = FolderItemStatus::failed;
            it.detail = "its descriptor cannot be read";
            continue;
        }
        const std::string partial = last_name(p.partial_host_path);
        HostFile out = HostFile::create(parent, partial);
        if (!out.ok()) {
            it.status = FolderItemStatus::failed;
            it.detail = std::string(errno == EEXIST ? "something is in the way on the host at "
                                                    : "cannot create the host file ") +
                        p.partial_host_path + ": " + std::strerror(errno);
            continue;
        }
        ExportProgress progress;
        if (options.progress)
            progress = [&](int64_t done, int64_t) {
                return options.progress(done > INT64_MAX - done_before ? INT64_MAX : done_before + done, total);
            };
        ExportOptions eo;
        eo.sha256 = true;
        ExportResult er = file_export(store, inode, out, progress, eo);
        it.bytes_written = er.bytes_written;
        it.sha256 = er.sha256;
        r.bytes = er.bytes_written > INT64_MAX - r.bytes ? INT64_MAX : r.bytes + er.bytes_written;
        if (inode.size > 0) done_before = inode.size > INT64_MAX - done_before ? INT64_MAX : done_before + inode.size;
        if (er.result == 0) {
            if (!parent.rename(partial, name, false)) {
                it.status = FolderItemStatus::partial;
                it.detail = std::string("copied whole but not renamed from ") + p.partial_host_path + ": " +
                            std::strerror(errno);
                it.host_path = p.partial_host_path;
                continue;
            }
            parent.set_times_at(name, it.atime, it.update_time);
            ++r.files;
            continue;
        }
        std::string why = export_failure_text(er);
        if (er.failure == ExportFailure::create || er.failure == ExportFailure::negative_size ||
            er.failure == ExportFailure::destination_is_input) {
            parent.remove(partial);   // empty: nothing was copied
            it.status = FolderItemStatus::failed;
            it.detail = why;
            continue;
        }
        it.status = er.failure == ExportFailure::cancelled ? FolderItemStatus::cancelled : FolderItemStatus::partial;
        it.detail = why + "; kept as " + p.partial_host_path;
        it.host_path = p.partial_host_path;
        if (er.failure == ExportFailure::cancelled) r.cancelled = true;
    }
    while (!open.empty()) {
        finish_dir(open.back());
        open.pop_back();
    }

    for (PlanItem& p : plan.items) {
        FolderItem& it = p.item;
        if (it.renamed) ++r.renamed;
        if (it.status != FolderItemStatus::ok && !(r.cancelled && it.status == FolderItemStatus::cancelled))
            ++r.failures;
        r.items.push_back(std::move(it));
    }
    r.manifest_written =
        write_manifest(d.parent, d.manifest_name, options, r,
                       options.source_text.empty() ? "#" + std::to_string(top_id) : options.source_text, top_id,
                       d.shown);
}

} // namespace


FolderExportResult folder_export(Datastore& store, uint32_t top_id, const std::string& dest_dir, const FolderExportOptions& options) {
    FolderExportResult r;
    Destination dest;
    tvmfs_inode top;
    if (!prepare_destination(store, dest_dir, options, dest, r, [&] { return inode_get(store, top_id, top) == 0; })) return r;

    Planner plan(store);
    if (top.type == kTypeDir) {
        plan.add_dir(top_id, options.first_block, ".", ".", "");
    } else {
        std::string name = options.file_name.empty() ? "file" : options.file_name;
        bool shortened = false;
        std::string host = host_name_fit(name, shortened);
        plan.add_file(top_id, name, host, host + ".partial",
                      shortened ? "name too long for the host; shortened" : host != name ? "name encoded for the host" : "");
    }

    run_plan(store, plan, dest, options, top_id, r);
    return r;
}

FolderExportResult folder_export_set(Datastore& store, const std::vector<FolderSource>& sources, const std::string& dest_dir,
                                     const FolderExportOptions& options) {
    FolderExportResult r;
    Destination dest;
    if (!prepare_destination(store, dest_dir, options, dest, r, [] { return true; })) return r;

    // The destination stands for no directory of the datastore: it has no
    // descriptor and no times of its own.
    Planner plan(store);
    plan.add_found_set(sources);
    run_plan(store, plan, dest, options, 0, r);
    return r;
}

} // namespace ds
