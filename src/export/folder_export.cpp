#include "export/folder_export.h"

#include "export/dir_names.h"
#include "export/folder_destination.h"
#include "export/folder_manifest.h"
#include "export/host_write.h"
#include "text/name_text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace ds {
namespace {

std::string join(const std::string& parent, const std::string& name) {
    return parent.empty() || parent == "." ? name : parent + "/" + name;
}

std::string last_name(const std::string& host_path) {
    const size_t slash = host_path.rfind('/');
    return slash == std::string::npos ? host_path : host_path.substr(slash + 1);
}

// The host name of an entry and, when it differs from the entry's own name,
// why.
std::string host_name_of(DirNames& names, const std::string& raw, FolderItemWhy& why) {
    bool shortened = false;
    const std::string base = host_name_fit(raw, shortened);
    std::string name = names.next(base);
    why = name == raw    ? FolderItemWhy::none
          : name != base ? FolderItemWhy::name_taken
          : shortened    ? FolderItemWhy::name_shortened
                         : FolderItemWhy::name_encoded;
    return name;
}

// A host directory open while its entries are written. Its paths are the
// start of those of the deepest directory open, which the copy holds once:
// copies of every ancestor's path would cost the square of the depth.
struct OpenDir {
    int depth = 0;              // in the copy: 0 for the destination itself
    uint32_t id = 0;
    size_t path_len = 0;        // as the manifest names it; 0 for the top, "."
    size_t host_len = 0;        // below the destination; 0 for the top, "."
    HostDir dir;                // not ok: its entries fail with why_not
    std::shared_ptr<const std::string> why_not;   // shared by everything below it
    DirNames names;
    bool set_times = false;
    int32_t atime = 0, mtime = 0;
};

void fill_times(FolderItem& it, const FileInfo& inode) {
    it.size = inode.size;
    it.create_time = inode.create_time;
    it.update_time = inode.update_time;
    it.atime = inode.access_time;
}

void note_rename(FolderItem& it, FolderItemWhy why) {
    if (why == FolderItemWhy::none) return;
    it.renamed = true;
    it.why = why;
    it.detail = rename_detail(why);
}

// An item that is not copied whole, with why in words for the manifest.
void set_problem(FolderItem& it, FolderItemStatus status, FolderItemWhy why, std::string detail, int err = 0) {
    it.status = status;
    it.why = why;
    it.sys_errno = err;
    it.detail = std::move(detail);
}

std::string display(const std::string& path) { return path == "." ? "the exported directory" : path; }

int64_t add_saturated(int64_t a, int64_t b) { return b > INT64_MAX - a ? INT64_MAX : a + b; }

// Items kept in the result beside the manifest: those not copied whole or
// renamed, the first of them only (the manifest lists every one), and no
// more than a few megabytes of them when their paths are long.
constexpr size_t kKeptItems = 1000;
constexpr size_t kKeptItemBytes = size_t{4} << 20;

// Paths of the directories copied, kept for the item of a second link to one
// of them: up to this many bytes, past which such an item says less.
constexpr size_t kEnteredPathBytes = size_t{16} << 20;

size_t item_bytes(const FolderItem& it) {
    return sizeof it + it.path.size() + it.name.size() + it.host_path.size() + it.detail.size() +
           it.unreadable.size() * sizeof(ByteSpan);
}

// Keeps a range of an item's unreadable bytes, merged with the last one.
void note_unreadable(FolderItem& it, ByteSpan span) {
    it.unreadable_bytes += span.length;
    if (!it.unreadable.empty() && it.unreadable.back().end() == span.offset) it.unreadable.back().length += span.length;
    else if (it.unreadable.size() < kMaxItemRanges) it.unreadable.push_back(span);
    else ++it.ranges_omitted;
}

// Copies a tree as one walk lists it: every file is copied when the walk
// meets it and its manifest item written then, so that memory follows the
// depth of the tree, not the number of its entries.
class FolderCopy {
public:
    FolderCopy(const Datastore& store, Destination& d, const FolderExportOptions& options, FolderExportResult& r)
        : store_(store), d_(d), options_(options), r_(r), read_limit_(store.walk_read_limit()) {}

    void start(const std::string& source, uint32_t top_id) {
        // Taken before anything is written: a sync through it reports every
        // write the disk refused from here on.
        note_file_system(d_.top);
        manifest_.open(d_.parent, d_.manifest_name, options_.replace_manifest, ManifestHead{source, top_id, d_.shown});
    }

    // Sizes of the files below id summed, for the progress: a walk of its own
    // ahead of the copy, which reads descriptors only.
    int64_t total_below(const Node& top) {
        int64_t total = 0;
        store_.walk(top, "", [&](const TreeNode& n) {
            if (n.entered || (n.entry.is_dir && n.passed_by)) return true;
            FileInfo inode;
            if (store_.stat(Node{n.entry.descriptor_id, -1}, inode) && inode.size > 0) total = add_saturated(total, inode.size);
            return true;
        });
        return total;
    }
    void set_total(int64_t total) { total_ = total; }

    // The destination as directory top (or, with no_descriptor, as the top
    // of a set of found directories).
    void top_dir(const Node& top, bool no_descriptor) {
        FolderItem it;
        it.is_dir = true;
        it.path = ".";
        it.host_path = ".";
        it.descriptor_id = no_descriptor ? 0 : top.id;
        OpenDir od;
        od.id = it.descriptor_id;
        od.dir = std::move(d_.top);
        ++r_.directories;
        if (!no_descriptor) {
            FileInfo dir;
            if (store_.stat(Node{top.id, -1}, dir)) {
                fill_times(it, dir);
                od.set_times = true;
                od.atime = dir.access_time;
                od.mtime = dir.update_time;
            }
            remember_entered(top.id, ".");
            name_entries(top, od.names, it);
        }
        emit(it);
        push(std::move(od), "", "");
    }

    // A found directory of a set, into a folder of its own name.
    void source_dir(const FolderSource& f) {
        OpenDir& parent = open_.front();
        FolderItem it = child_item(parent, f.name, f.name, f.node.id);
        FileInfo probe;
        if (store_.stat(Node{f.node.id, -1}, probe) && probe.type != kTypeDir) {
            copy_file(parent, it);
            return;
        }
        it.is_dir = true;
        if (!enter_dir(parent, it, f.node, 1)) return;
        walk(f.node, f.name, 1);
    }
    void names_of_sources(const std::vector<FolderSource>& sources) {
        DirNames& names = open_.front().names;
        const size_t before = names.held();
        for (const FolderSource& f : sources) names.add(host_name_fit(f.name));
        if (names.seal())
            for (const FolderSource& f : sources) names.number(host_name_fit(f.name));
        names_held_ += static_cast<int64_t>(names.held() - before);
    }

    // The walk below an entered directory at depth base.
    void walk(const Node& top, const std::string& top_path, int base) {
        TreeWalkOptions o;
        o.print_name = printable_name;
        o.leave = [&](int depth, ListStatus) { close_to(base + depth); };
        store_.walk(top, top_path, [&](const TreeNode& n) {
            visit(n, base);
            return true;
        }, [&](TreeNote what, const std::string&) {
            if (what == TreeNote::too_many) r_.entry_limit = true;
        }, o);
        close_to(base);
    }

    // A single file into the destination under name.
    void single_file(uint32_t id, const std::string& name) {
        OpenDir od;
        od.dir = std::move(d_.top);
        FolderItem it;
        it.path = name;
        it.name = name;
        it.descriptor_id = id;
        bool shortened = false;
        const std::string host = host_name_fit(name, shortened);
        it.host_path = host;
        note_rename(it, shortened ? FolderItemWhy::name_shortened : host != name ? FolderItemWhy::name_encoded : FolderItemWhy::none);
        od.names.add(host);
        od.names.seal();
        push(std::move(od), "", "");
        copy_file(open_.back(), it);
    }

    void finish() {
        close_to(0);
        if (r_.entry_limit) ++r_.failures;
        // Every file and directory is written: one sync puts them all on the
        // disk, and only then is the manifest ended, saying whether it did.
        for (const auto& [dev, dir] : synced_) {
            const int e = options_.sync_file_system ? options_.sync_file_system(dir.fd()) : sync_file_system(dir.fd());
            if (e != 0 && r_.sync_errno == 0) r_.sync_errno = e;
        }
        if (r_.sync_errno != 0) ++r_.failures;
        ManifestTotals t;
        t.complete = r_.failures == 0 && !r_.cancelled;
        t.cancelled = r_.cancelled;
        t.files = r_.files;
        t.directories = r_.directories;
        t.bytes = r_.bytes;
        t.failures = r_.failures;
        t.renamed = r_.renamed;
        t.rescue = options_.rescue;
        t.unreadable_items = r_.unreadable_items;
        t.unreadable_bytes = r_.unreadable_bytes;
        t.skipped_entries = r_.skipped_entries;
        // Asked for last, so that its end time is the export's.
        if (options_.provenance) t.provenance = options_.provenance();
        if (r_.sync_errno != 0) t.sync_failed = std::string("the copy could not be put on the host's disk: ") + std::strerror(r_.sync_errno);
        r_.manifest_written = manifest_.finish(t);
    }

private:
    const Datastore& store_;
    Destination& d_;
    const FolderExportOptions& options_;
    FolderExportResult& r_;
    FolderManifest manifest_;
    std::vector<OpenDir> open_;
    // The paths of the deepest directory open; each one open is a start of them.
    std::string open_path_, open_host_;
    // Directories met so far, by descriptor id, for the item of a second
    // link to one of them (up to kEnteredPathBytes of paths).
    std::unordered_map<uint32_t, std::string> entered_;
    size_t entered_bytes_ = 0, kept_bytes_ = 0;
    int64_t total_ = 0, done_before_ = 0;
    // Name digests held by the open directories, and directory entries read
    // to settle names: the same bound as the walk's own reads.
    int64_t names_held_ = 0, names_read_ = 0;
    const int64_t read_limit_;
    // The file systems written to, one directory of each, synced at the end;
    // files are then closed without their own fsync (sync_later_), unless
    // one of them cannot be trusted to sync whole.
    std::vector<std::pair<dev_t, HostDir>> synced_;
    bool sync_later_ = false, trusted_ = true;

    void note_file_system(const HostDir& dir) {
        struct stat st {};
        if (!dir.stat_self(st)) {
            trusted_ = sync_later_ = false;
            return;
        }
        for (const auto& seen : synced_)
            if (seen.first == st.st_dev) return;
        HostDir own = dir.dup();
        if (!own.ok() || !file_system_syncs_whole(own.fd())) trusted_ = false;
        // Synced at the end even so, for what was written before.
        if (own.ok()) synced_.emplace_back(st.st_dev, std::move(own));
        sync_later_ = trusted_;
    }

    void push(OpenDir&& od, const std::string& path, const std::string& host_path) {
        open_path_ = path;
        open_host_ = host_path;
        od.path_len = path.size();
        od.host_len = host_path.size();
        names_held_ += static_cast<int64_t>(od.names.held());
        open_.push_back(std::move(od));
    }
    std::string path_of(const OpenDir& o) const { return o.path_len ? open_path_.substr(0, o.path_len) : "."; }
    std::string host_of(const OpenDir& o) const { return open_host_.substr(0, o.host_len); }

    void remember_entered(uint32_t id, const std::string& path) {
        if (entered_.count(id) || entered_bytes_ + path.size() > kEnteredPathBytes) return;
        entered_bytes_ += path.size();
        entered_.emplace(id, path);
    }

    // Settles the host names of a directory's entries, or gives up on it when
    // they do not fit beside those held already. Marks it incomplete when its
    // listing ended early (the walk that follows ends at the same place).
    void name_entries(const Node& dir, DirNames& names, FolderItem& it) {
        const int64_t room = std::max<int64_t>(options_.names_held_limit - names_held_, 0);
        DirLister lister = store_.list(dir);
        bool cut = false;
        for (ListedEntry e; lister.next(e);) {
            names.add(host_name_fit(e.raw_name));
            if (names.settled() && static_cast<int64_t>(names.held()) > room) names.unsettle();
            // Reading on to the end only tells whether the listing is whole.
            if (names_read_ + lister.entries_read() > read_limit_) {
                cut = true;
                break;
            }
        }
        names_read_ += lister.entries_read();
        const bool repeats = names.seal();
        if (names.settled() && static_cast<int64_t>(names.held()) > room) names.unsettle();
        if (cut) {
            // More read than the volume holds: damaged links going round.
            r_.entry_limit = true;
            names.unsettle();
        } else if (lister.status() == ListStatus::ended_early) {
            set_problem(it, FolderItemStatus::incomplete, FolderItemWhy::listing_ended_early,
                        "a read ended its listing early; the entries before it are copied");
        }
        if (lister.skipped_entries() > 0) {
            // The walk that follows passes over the same entries.
            for (const ByteSpan& span : lister.skipped()) note_unreadable(it, span);
            it.ranges_omitted += lister.skipped_spans_dropped();
            it.skipped_entries = lister.skipped_entries();
            r_.skipped_entries = add_saturated(r_.skipped_entries, it.skipped_entries);
            if (it.status == FolderItemStatus::ok)
                set_problem(it, FolderItemStatus::partly_unreadable, FolderItemWhy::unreadable_sectors,
                            std::to_string(it.skipped_entries) + " entries on unreadable sectors were passed over; the others are copied");
        }
        if (repeats && names.settled()) {
            DirLister again = store_.list(dir);
            for (ListedEntry e; again.next(e);) names.number(host_name_fit(e.raw_name));
            names_read_ += again.entries_read();
        }
        if (!names.settled() && it.detail.empty())
            it.detail = "too many entries to number repeated names ahead; a repeated name is kept under its .partial name";
    }

    FolderItem child_item(OpenDir& parent, const std::string& path, const std::string& raw, uint32_t id) {
        FolderItem it;
        it.path = path;
        it.name = raw;
        it.descriptor_id = id;
        FolderItemWhy why = FolderItemWhy::none;
        it.host_path = join(host_of(parent), host_name_of(parent.names, raw, why));
        note_rename(it, why);
        return it;
    }

    void close_to(int depth) {
        while (!open_.empty() && open_.back().depth >= depth) {
            const OpenDir& o = open_.back();
            // Last: writing its entries changed them.
            if (o.set_times && o.dir.ok()) o.dir.set_times(o.atime, o.mtime);
            names_held_ -= static_cast<int64_t>(o.names.held());
            open_.pop_back();
            if (!open_.empty()) {
                open_path_.resize(open_.back().path_len);
                open_host_.resize(open_.back().host_len);
            }
        }
    }

    void visit(const TreeNode& n, int base) {
        const int depth = base + n.depth;
        close_to(depth);
        OpenDir& parent = open_.back();
        FolderItem it = child_item(parent, n.path, n.entry.raw_name, n.entry.descriptor_id);
        if (!(n.entered || (n.entry.is_dir && n.passed_by))) {
            // An entry marked as a directory whose descriptor is not one is
            // copied as the file it is, as the tree exports it.
            if (n.entry.is_dir) remember_entered(n.entry.descriptor_id, it.path);
            copy_file(parent, it);
            return;
        }
        it.is_dir = true;
        if (r_.cancelled) {
            not_reached(it);
            if (n.entered) {
                OpenDir od;
                od.depth = depth;
                od.id = n.entry.descriptor_id;
                push(std::move(od), it.path, it.host_path);
            }
            return;
        }
        if (n.passed_by) {
            passed_by(it, *n.passed_by);
            return;
        }
        enter_dir(parent, it, n.entry.node(), depth);
    }

    void not_reached(FolderItem& it) {
        set_problem(it, FolderItemStatus::cancelled, FolderItemWhy::not_reached, "not reached");
        emit(it);
    }

    void passed_by(FolderItem& it, TreeNote why) {
        const uint32_t id = it.descriptor_id;
        it.status = FolderItemStatus::not_followed;
        it.why = why == TreeNote::cycle           ? FolderItemWhy::cycle
                 : why == TreeNote::listed_before ? FolderItemWhy::second_link
                 : why == TreeNote::too_deep      ? FolderItemWhy::too_deep
                                                  : FolderItemWhy::descriptor_unreadable;
        switch (why) {
        case TreeNote::cycle: {
            std::string again = "?";
            for (auto o = open_.rbegin(); o != open_.rend(); ++o)
                if (o->id == id) {
                    again = path_of(*o);
                    break;
                }
            it.detail = "a cycle: it is " + display(again) + " again";
            break;
        }
        case TreeNote::listed_before: {
            auto seen = entered_.find(id);
            it.detail = "a second link to " + (seen == entered_.end() ? std::string("a directory copied before") : display(seen->second)) +
                        ", copied there";
            break;
        }
        case TreeNote::too_deep: it.detail = "deeper than " + std::to_string(kMaxTreeDepth) + " levels"; break;
        default:
            remember_entered(id, it.path);
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::descriptor_unreadable, "its descriptor cannot be read");
            break;
        }
        emit(it);
    }

    // Creates the host directory of it and makes it the one its entries go
    // into; false when its descriptor cannot be read (nothing to walk).
    bool enter_dir(OpenDir& parent, FolderItem& it, const Node& node, int depth) {
        const uint32_t id = node.id;
        FileInfo dir;
        if (!store_.stat(Node{id, -1}, dir)) {
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::descriptor_unreadable, "its descriptor cannot be read");
            emit(it);
            return false;
        }
        fill_times(it, dir);
        remember_entered(id, it.path);
        OpenDir od;
        od.depth = depth;
        od.id = id;
        name_entries(node, od.names, it);
        if (parent.why_not) {
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::parent_not_created, *parent.why_not);
            od.why_not = parent.why_not;
        } else {
            od.dir = parent.dir.make_dir(last_name(it.host_path));
            if (od.dir.ok()) {
                note_file_system(od.dir);
                ++r_.directories;
                od.set_times = true;
                od.atime = dir.access_time;
                od.mtime = dir.update_time;
            } else {
                const int e = errno;
                set_problem(it, FolderItemStatus::failed, FolderItemWhy::host_dir_not_created,
                            std::string(e == EEXIST ? "something is in the way on the host: "
                                                    : "cannot create the host directory: ") +
                                std::strerror(e),
                            e);
                od.why_not = std::make_shared<const std::string>("its directory " + it.path + " could not be created on the host");
            }
        }
        emit(it);
        push(std::move(od), it.path, it.host_path);
        return true;
    }

    void copy_file(OpenDir& parent, FolderItem& it) {
        const std::string name = last_name(it.host_path);
        const std::string partial = parent.names.partial(name);
        const std::string partial_host_path = join(host_of(parent), partial);
        if (r_.cancelled) return not_reached(it);
        File file;
        if (!store_.open_file(Node{it.descriptor_id, -1}, file)) {
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::descriptor_unreadable, "its descriptor cannot be read");
            return emit(it);
        }
        fill_times(it, file.info());
        if (parent.why_not) {
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::parent_not_created, *parent.why_not);
            return emit(it);
        }
        HostFile out = HostFile::create(parent.dir, partial);
        if (!out.ok()) {
            const int e = errno;
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::host_file_not_created,
                        std::string(e == EEXIST ? "something is in the way on the host at " : "cannot create the host file ") +
                            partial_host_path + ": " + std::strerror(e),
                        e);
            return emit(it);
        }
        ExportProgress progress;
        if (options_.progress)
            progress = [&](int64_t done, int64_t) { return options_.progress(add_saturated(done_before_, done), total_); };
        ExportOptions eo;
        eo.sha256 = true;
        eo.sync_later = sync_later_;
        eo.rescue = options_.rescue;
        if (options_.rescue)
            eo.unreadable = [&it](ByteSpan span) {
                note_unreadable(it, span);
                return true;
            };
        ExportResult er = file_export(store_, file, out, progress, eo);
        it.bytes_written = er.bytes_written;
        it.sha256 = er.sha256;
        r_.bytes = add_saturated(r_.bytes, er.bytes_written);
        r_.unreadable_bytes = add_saturated(r_.unreadable_bytes, er.unreadable_bytes);
        if (file.size() > 0) done_before_ = add_saturated(done_before_, file.size());
        if (er.failure == ExportFailure::none) {
            if (!parent.dir.rename(partial, name, false)) {
                const int e = errno;
                set_problem(it, FolderItemStatus::partial, FolderItemWhy::not_renamed,
                            "copied whole but not renamed from " + partial_host_path + ": " + std::strerror(e), e);
                it.host_path = partial_host_path;
                return emit(it);
            }
            parent.dir.set_times_at(name, it.atime, it.update_time);
            ++r_.files;
            if (er.unreadable_bytes > 0)
                set_problem(it, FolderItemStatus::partly_unreadable, FolderItemWhy::unreadable_sectors,
                            std::to_string(er.unreadable_bytes) + " bytes in " + std::to_string(er.unreadable_ranges) +
                                " ranges could not be read and are zeros");
            return emit(it);
        }
        const std::string why = copy_failure_detail(er);
        const int err = er.failure == ExportFailure::read ? er.read_failure.sys_errno : er.host_errno;
        it.export_failure = er.failure;
        if (er.failure == ExportFailure::create || er.failure == ExportFailure::negative_size ||
            er.failure == ExportFailure::destination_is_input) {
            parent.dir.remove(partial);   // empty: nothing was copied
            set_problem(it, FolderItemStatus::failed, FolderItemWhy::copy_failed, why, err);
            return emit(it);
        }
        if (er.failure == ExportFailure::cancelled) r_.cancelled = true;
        set_problem(it, er.failure == ExportFailure::cancelled ? FolderItemStatus::cancelled : FolderItemStatus::partial,
                    FolderItemWhy::copy_failed, why + "; kept as " + partial_host_path, err);
        it.host_path = partial_host_path;
        emit(it);
    }

    void emit(FolderItem& it) {
        it.rescue = options_.rescue;
        if (it.renamed) ++r_.renamed;
        if (it.status == FolderItemStatus::partly_unreadable) ++r_.unreadable_items;
        else if (it.status != FolderItemStatus::ok && !(r_.cancelled && it.status == FolderItemStatus::cancelled)) ++r_.failures;
        manifest_.item(it);
        if (options_.item_done) options_.item_done(it);
        if ((it.status != FolderItemStatus::ok || it.renamed) && r_.items.size() < kKeptItems &&
            kept_bytes_ + item_bytes(it) <= kKeptItemBytes) {
            kept_bytes_ += item_bytes(it);
            r_.items.push_back(it);
        }
    }
};

} // namespace

FolderExportResult folder_export(const Datastore& store, const Node& top, const std::string& dest_dir,
                                 const FolderExportOptions& options) {
    FolderExportResult r;
    Destination dest;
    FileInfo info;
    if (!prepare_destination(store, dest_dir, options, dest, r, [&] { return store.stat(Node{top.id, -1}, info).ok(); }))
        return r;

    FolderCopy copy(store, dest, options, r);
    copy.start(options.source_text.empty() ? "#" + std::to_string(top.id) : options.source_text, top.id);
    if (info.type == kTypeDir) {
        if (options.progress) copy.set_total(copy.total_below(top));
        copy.top_dir(top, false);
        copy.walk(top, "", 0);
    } else {
        copy.set_total(std::max<int64_t>(info.size, 0));
        copy.single_file(top.id, options.file_name.empty() ? "file" : options.file_name);
    }
    copy.finish();
    return r;
}

FolderExportResult folder_export_set(const Datastore& store, const std::vector<FolderSource>& sources,
                                     const std::string& dest_dir, const FolderExportOptions& options) {
    FolderExportResult r;
    Destination dest;
    if (!prepare_destination(store, dest_dir, options, dest, r, [] { return true; })) return r;

    FolderCopy copy(store, dest, options, r);
    copy.start(options.source_text.empty() ? "#0" : options.source_text, 0);
    if (options.progress) {
        int64_t total = 0;
        for (const FolderSource& f : sources) {
            FileInfo info;
            if (!store.stat(Node{f.node.id, -1}, info)) continue;
            total = add_saturated(total, info.type == kTypeDir ? copy.total_below(f.node) : std::max<int64_t>(info.size, 0));
        }
        copy.set_total(total);
    }
    // The destination stands for no directory of the datastore: it has no
    // descriptor and no times of its own.
    copy.top_dir(Node{0, -1}, true);
    copy.names_of_sources(sources);
    for (const FolderSource& f : sources) copy.source_dir(f);
    copy.finish();
    return r;
}

} // namespace ds
