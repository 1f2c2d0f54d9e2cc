#include "scans.h"

#include "interrupt.h"
#include "output.h"
#include "progress.h"

#include "text/messages.h"

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

int scan_status(const Options& opt, ds::ScanEnd end) {
    if (end != ds::ScanEnd::finished) return fail(ds::scan_end_message(end));
    if (!opt.json) out_line(ds::scan_end_message(end));
    return kExitOk;
}

int prepare_formatted(ds::Datastore& store, const Options& opt) {
    ds::ScanEnd end = run_scan(opt, [&store](const ds::ScanProgress& progress) {
        return store.scan_formatted(progress).end;
    });
    if (end == ds::ScanEnd::finished) return kExitOk;
    // Only a scan that stopped on the way keeps what it found; one that could
    // not start found nothing to stand on.
    if (!ds::scan_stopped_early(end))
        return fail(ds::scan_end_message(end));
    warn(ds::scan_end_message(end));
    return kExitOk;
}

} // namespace dscli
