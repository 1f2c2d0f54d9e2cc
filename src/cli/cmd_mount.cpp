#include "commands.h"
#include "disks.h"
#include "interrupt.h"
#include "error_codes.h"
#include "mount_point.h"
#include "output.h"
#include "scans.h"

#ifdef DATUMSIFT_HAVE_MOUNT
#include "mount/mount_fs.h"
#include "mount/mount_source.h"
#endif
#include "text/messages.h"
#include "vmfs/datastore.h"

#include <algorithm>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace dscli {
namespace {

#ifdef DATUMSIFT_HAVE_MOUNT
// The server leaves the working directory when it goes into the
// background: a relative image path must still name the same file.
std::vector<std::string> absolute_disks(const std::vector<std::string>& specs) {
    std::vector<std::string> out;
    char cwd[4096];
    const bool have_cwd = ::getcwd(cwd, sizeof cwd) != nullptr;
    for (const std::string& s : specs)
        out.push_back(have_cwd && !s.empty() && s[0] != '/' ? std::string(cwd) + "/" + s : s);
    return out;
}

// The deleted files, one per row, named <sn>-<descriptor id>: no more than
// one past what the mount holds, which is enough for it to say it cut them.
int deleted_entries(ds::Datastore& store, const Options& opt, int64_t most,
                    std::vector<dsmount::SourceEntry>& entries) {
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return store.scan_deleted(progress, [&](const ds::FileRow& row) {
                   if (static_cast<int64_t>(entries.size()) > most) return;
                   entries.push_back({std::to_string(row.n) + "-" + std::to_string(row.descriptor_id), {row.descriptor_id, -1}, false});
               }).end;
    });
    if (end == ds::ScanEnd::finished) return kExitOk;
    if (interrupted()) return kExitInterrupted;
    // A scan that a read stopped keeps its rows, as the list keeps them:
    // they are served, and the run says it is not all.
    if (!ds::scan_stopped_early(end))
        return fail(scan_end_code(end), ds::scan_end_message(end));
    warn(scan_end_code(end), ds::scan_end_message(end));
    return kExitOk;
}

// The rebuilt lost disks, one file per row, named vmdk<N>.img: the bytes
// export vmdk:N writes. A row whose pointer block no id names has no disk.
int lost_entries(ds::Datastore& store, const Options& opt, dsmount::MountSource& source,
                 std::vector<dsmount::SourceEntry>& entries) {
    std::vector<ds::PartitionRow> rows;
    std::vector<ds::PointerBlockCandidate> candidates;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::PartitionRow> found = store.scan_lost_disks(progress, {}, candidates);
        rows = std::move(found.rows);
        return found.end;
    });
    if (interrupted()) return kExitInterrupted;
    if (end != ds::ScanEnd::finished) {
        // As export vmdk:N: rows found before a read stopped the scan are
        // still served, rebuilt from the candidates it saw (less, never more).
        if (!ds::scan_stopped_early(end) || rows.empty()) return fail(scan_end_code(end), ds::scan_end_message(end));
        warn(scan_end_code(end), ds::scan_end_message(end));
    }
    const std::vector<ds::RebuiltDisk> disks = store.rebuild_lost_disks(rows, candidates);
    for (size_t i = 0; i < rows.size() && i < disks.size(); ++i) {
        const ds::RebuiltDisk& d = disks[i];
        if (rows[i].pointer_block == 0 || rows[i].addressed_bytes <= 0 || d.length <= 0) continue;
        int64_t placed = 0;
        for (size_t k = 0; k < d.pieces.size(); ++k)
            if (d.pieces[k].pointer_block != 0)
                placed += std::min(d.piece_bytes, d.length - static_cast<int64_t>(k) * d.piece_bytes);
        const dsmount::SourceRef ref = source.add_made(store.rebuilt_disk_file(d), placed);
        entries.push_back({"vmdk" + std::to_string(rows[i].n) + ".img", ref, false});
    }
    return kExitOk;
}
#endif

} // namespace

int cmd_mount(ds::Datastore& store, const Options& opt) {
#ifdef DATUMSIFT_HAVE_MOUNT
    if (int(opt.formatted) + int(opt.deleted) + int(opt.lost) > 1)
        return usage_error("--formatted, --deleted and --lost cannot be used together");
    if (const std::string why = mount_point_refusal(opt.mountpoint); !why.empty())
        return fail(kCodeMount, "cannot mount at " + shown_path(opt.mountpoint) + ": " + why);
    int rc = open_datastore(store, absolute_disks(opt.disks));
    if (rc != kExitOk) return rc;

    dsmount::MountSource source(store);
    dsmount::MountSettings settings;
    // A datastore of a million files is listed whole: room for as many
    // entries as its descriptor slots, within the mount's ceiling.
    settings.max_entries =
        std::clamp(store.descriptor_slots(), settings.max_entries, dsmount::kMostMountEntries);
    // A listing the bound cuts is not all: a mount in the foreground ends
    // with a failure status then.
    settings.notice = [](const std::string& text) { warn(text); };
    // Under --rescue each range served as zeros is named once; a mount in
    // the foreground that served any ends with 3, as an export would.
    std::mutex told_mu;
    bool zeros_served = false;
    settings.rescue = opt.rescue;
    settings.unreadable = [&](const std::string& text) {
        std::lock_guard lock(told_mu);
        zeros_served = true;
        notice(text);
    };
    dsmount::MountRoot root;
    root.directory = source.root();
    if (opt.formatted) {
        if ((rc = prepare_formatted(store, opt)) != kExitOk) return rc;
        root.listed = true;
        root.entries = source.found_directories();
    } else if (opt.deleted) {
        root.listed = true;
        if ((rc = deleted_entries(store, opt, settings.max_entries, root.entries)) != kExitOk) return rc;
    } else if (opt.lost) {
        root.listed = true;
        if ((rc = lost_entries(store, opt, source, root.entries)) != kExitOk) return rc;
    }
    if (interrupted()) return kExitInterrupted;

    dsmount::MountServer server(source, std::move(root), settings);
    const std::string why = server.mount(opt.mountpoint);
    if (!why.empty()) return fail(kCodeMount, why);
    // In the background only once the mount is there: the command returns
    // when the files can be read.
    if (!opt.foreground && !server.daemonize()) return fail(kCodeMount, "cannot go into the background");
    if (server.serve(true) != 0) return fail(kCodeMount, "the mount ended with an error");
    std::lock_guard lock(told_mu);
    return final_status(zeros_served ? kExitIncomplete : kExitOk);
#else
    (void)store;
    (void)opt;
    return fail(kCodeMount, "mount is not available in this build (it needs libfuse 3)");
#endif
}

} // namespace dscli
