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
#endif

} // namespace

int cmd_mount(ds::Datastore& store, const Options& opt) {
#ifdef DATUMSIFT_HAVE_MOUNT
    if (opt.formatted && opt.deleted) return usage_error("--formatted and --deleted cannot be used together");
    if (const std::string why = mount_point_refusal(opt.mountpoint); !why.empty())
        return fail(kCodeMount, "cannot mount at " + shown_path(opt.mountpoint) + ": " + why);
    int rc = open_datastore(store, absolute_disks(opt.disks));
    if (rc != kExitOk) return rc;

    dsmount::MountSource source(store);
    dsmount::MountSettings settings;
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
