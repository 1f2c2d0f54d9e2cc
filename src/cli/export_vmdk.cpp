#include "export_vmdk.h"
#include "vmfs/datastore.h"

#include "output.h"
#include "scans.h"

#include "text/messages.h"

#include <charconv>

namespace dscli {
namespace {
constexpr const char* kPrefix = "vmdk:";
}

bool is_lost_disk_source(const std::string& src, bool formatted) {
    return !formatted && src.rfind(kPrefix, 0) == 0;
}

int prepare_lost_disk(ds::Datastore& store, const Options& opt, LostDiskSource& out) {
    const std::string digits = opt.src.substr(std::string(kPrefix).size());
    int n = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size() || n < 1)
        return usage_error("'" + opt.src + "' is not a row of the virtual-disk recovery (vmdk:N, N from 1)");
    if (opt.recursive) return usage_error("a virtual disk is a file: export it without -r");
    ds::PartitionRow found;
    int rows = 0;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return store.scan_lost_disks(progress, [&](const ds::PartitionRow& row) {
            ++rows;
            if (row.n == n) found = row;
        }).end;
    });
    // Rows found before a scan that stopped early are still good to export.
    if (found.n != n) {
        if (end != ds::ScanEnd::finished) return fail(ds::scan_end_message(end));
        return fail("file open error|the virtual-disk recovery found " + std::to_string(rows) + " rows, not " +
                    std::to_string(n));
    }
    if (found.pointer_block == 0 || found.addressed_bytes <= 0)
        return fail("file open error|the pointer block of " + opt.src + " cannot be named by an id");
    out.file = store.lost_disk_file(found);
    out.pointer_block = found.pointer_block;
    out.partitions_end = found.partitions_end;
    return kExitOk;
}

std::vector<std::string> lost_disk_coverage(const LostDiskSource& src, int64_t written) {
    std::vector<std::string> lines = {"covered " + std::to_string(written) + " bytes"};
    if (src.partitions_end > written)
        lines.push_back("recovered in part: its partitions reach byte " + std::to_string(src.partitions_end) +
                        ", one pointer block addresses the first " + std::to_string(written));
    return lines;
}

} // namespace dscli
