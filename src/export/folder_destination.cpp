#include "export/folder_destination.h"

#include "export/input_guard.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace ds {
namespace {

bool refuse(FolderExportResult& r, FolderRefusal why, std::string path, int err = 0) {
    r.refused = why;
    r.sys_errno = err;
    r.refused_path = std::move(path);
    return false;
}

} // namespace

bool prepare_destination(const Datastore& store, const std::string& dest_dir, const FolderExportOptions& options,
                         Destination& d, FolderExportResult& r, const std::function<bool()>& source_ok) {
    d.shown = dest_dir;
    while (d.shown.size() > 1 && d.shown.back() == '/') d.shown.pop_back();
    if (d.shown.empty()) return refuse(r, FolderRefusal::no_destination, "");
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
            const int e = errno;
            return refuse(r, FolderRefusal::destination_not_created, d.shown, e);
        }
        base = real;
        ::free(real);
        split_host_path(base, dir, d.name);
        if (d.name.empty()) return refuse(r, FolderRefusal::no_parent, d.shown);
    }
    d.manifest_name = d.name + ".manifest.json";
    r.manifest_path = base + ".manifest.json";
    if (!source_ok()) return refuse(r, FolderRefusal::source_unreadable, "");
    d.parent = HostDir::open(dir);
    if (!d.parent.ok()) {
        const int e = errno;
        return refuse(r, FolderRefusal::destination_not_opened, dir, e);
    }
    const bool exists = d.parent.stat_at(d.name, st);
    if (exists && !S_ISDIR(st.st_mode)) return refuse(r, FolderRefusal::not_directory, d.shown);
    if (exists) {
        d.top = d.parent.open_dir(d.name);
        if (!d.top.ok()) {
            const int e = errno;
            return refuse(r, FolderRefusal::destination_not_opened, d.shown, e);
        }
        // A folder export replaces nothing on the host: every name it writes
        // is its own, and no file found there can be mistaken for part of
        // the copy.
        if (!d.top.is_empty()) return refuse(r, FolderRefusal::not_empty, d.shown);
    }
    struct stat mst {};
    if (d.parent.stat_at(d.manifest_name, mst)) {
        if (!options.replace_manifest) return refuse(r, FolderRefusal::manifest_exists, r.manifest_path);
        if (!S_ISREG(mst.st_mode) || overlaps_input(store, mst))
            return refuse(r, FolderRefusal::manifest_not_replaceable, r.manifest_path);
    }
    struct stat where {};
    if ((d.top.ok() ? d.top.stat_self(where) : d.parent.stat_self(where)) && overlaps_input(store, where))
        return refuse(r, FolderRefusal::on_input, d.shown);
    if (!exists) {
        d.top = d.parent.make_dir(d.name);
        if (!d.top.ok()) {
            const int e = errno;
            return refuse(r, FolderRefusal::destination_not_created, d.shown, e);
        }
    }
    return true;
}

} // namespace ds
