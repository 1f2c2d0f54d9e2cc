#include "scans.h"

#include "interrupt.h"
#include "error_codes.h"
#include "output.h"
#include "progress.h"

#include "text/messages.h"
#include "text/name_text.h"

namespace dscli {

ds::ScanEnd run_scan(const Options& opt, const std::function<ds::ScanEnd(const ds::ScanProgress&)>& scan) {
    install_interrupt_handler();
    ProgressBar bar(opt.quiet, ProgressBar::Unit::percent, 100);
    bar.update(0);
    ds::ScanEnd end = scan([&](int gauge) {
        bar.update(gauge);
        return !interrupted();
    });
    bar.finish();
    return end;
}

ds::DeletedNames gather_deleted_names(const ds::Datastore& store, const std::vector<ds::DeletedItem>& items) {
    ds::DeletedNameOptions options;
    options.print_name = ds::printable_name;
    options.go_on = [] { return !interrupted(); };
    return store.name_deleted(items, options);
}

int scan_status(const Options& opt, ds::ScanEnd end, const std::vector<ds::SkippedArea>& unreadable) {
    if (end != ds::ScanEnd::finished) return fail(scan_end_code(end), ds::scan_end_message(end));
    if (!opt.json) out_line(ds::scan_end_message(end));
    if (unreadable.empty()) return kExitOk;
    warn(kCodeUnreadable, "unreadable: " + std::to_string(unreadable.size()) + " areas skipped");
    return kExitIncomplete;
}

nlohmann::json skipped_json(const std::vector<ds::SkippedArea>& unreadable) {
    nlohmann::json list = nlohmann::json::array();
    for (const ds::SkippedArea& a : unreadable) {
        const char* in = a.in == ds::SkippedIn::fdc   ? ".fdc.sf"
                       : a.in == ds::SkippedIn::sbc ? ".sbc.sf"
                       : a.in == ds::SkippedIn::pbc ? ".pbc.sf"
                                                    : "volume";
        list.push_back({{"in", in}, {"offset", a.offset}, {"length", a.length}});
    }
    return list;
}

int prepare_formatted(ds::Datastore& store, const Options& opt) {
    size_t skipped = 0;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::FoundDir> found = store.scan_formatted(progress);
        skipped = found.unreadable.size();
        return found.end;
    });
    // The paths still resolve below the directories found; the command's
    // own account of what it could not read follows.
    if (skipped > 0) warn(kCodeUnreadable, "unreadable: " + std::to_string(skipped) + " areas skipped by the format recovery");
    if (end == ds::ScanEnd::finished) return kExitOk;
    // Only a scan that stopped on the way keeps what it found; one that could
    // not start found nothing to stand on.
    if (!ds::scan_stopped_early(end))
        return fail(scan_end_code(end), ds::scan_end_message(end));
    warn(scan_end_code(end), ds::scan_end_message(end));
    return kExitOk;
}

} // namespace dscli
