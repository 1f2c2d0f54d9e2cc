#include "export_vmdk.h"
#include "vmfs/datastore.h"

#include "error_codes.h"
#include "output.h"
#include "scans.h"

#include "text/messages.h"
#include "text/rebuilt_text.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

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
    std::vector<ds::PointerBlockCandidate> candidates;
    auto keep = [&](const ds::PartitionRow& row) {
        ++rows;
        if (row.n == n) found = row;
    };
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        return opt.first_pointer_block ? store.scan_lost_disks(progress, keep).end
                                       : store.scan_lost_disks(progress, keep, candidates).end;
    });
    // Rows found before a scan that stopped early are still good to export.
    if (found.n != n) {
        if (end != ds::ScanEnd::finished) return fail(scan_end_code(end), ds::scan_end_message(end));
        return fail(kCodeFileOpen, "file open error|the virtual-disk recovery found " + std::to_string(rows) + " rows, not " +
                    std::to_string(n));
    }
    if (found.pointer_block == 0 || found.addressed_bytes <= 0)
        return fail(kCodeFileOpen, "file open error|the pointer block of " + opt.src + " cannot be named by an id");
    // A scan that stopped early has not seen every candidate: the rebuild
    // then places less, never more.
    if (!opt.first_pointer_block) {
        out.disk = store.rebuild_lost_disks({found}, candidates).front();
        out.rebuilt = true;
        out.file = store.rebuilt_disk_file(out.disk);
    } else {
        out.file = store.lost_disk_file(found);
    }
    out.pointer_block = found.pointer_block;
    out.partitions_end = found.partitions_end;
    return kExitOk;
}

void lost_disk_json(const LostDiskSource& src, int64_t written, nlohmann::json& doc) {
    doc["pointer_block"] = src.pointer_block;
    if (!src.rebuilt) {
        doc["partial"] = src.partitions_end > written;
        return;
    }
    const ds::RebuiltDisk& d = src.disk;
    nlohmann::json holes = nlohmann::json::array();
    for (size_t s = 0; s < d.pieces.size(); ++s)
        if (d.pieces[s].pointer_block == 0)
            holes.push_back({{"position", s}, {"offset", static_cast<int64_t>(s) * d.piece_bytes},
                             {"bytes", ds::rebuilt_piece_length(d, s)}, {"why", ds::piece_evidence_text(d.pieces[s].evidence)},
                             {"detail", d.pieces[s].detail}});
    doc["partial"] = !holes.empty();
    doc["placed_bytes"] = {{"first", ds::rebuilt_bytes_by(d, ds::PieceEvidence::first)},
                           {"guest", ds::rebuilt_bytes_by(d, ds::PieceEvidence::guest)},
                           {"contiguity", ds::rebuilt_bytes_by(d, ds::PieceEvidence::contiguity)},
                           {"neighbours", ds::rebuilt_bytes_by(d, ds::PieceEvidence::neighbours)},
                           {"empty", ds::rebuilt_bytes_empty(d)}};
    doc["holes"] = std::move(holes);
}

std::vector<std::string> lost_disk_coverage(const LostDiskSource& src, int64_t written) {
    if (src.rebuilt) return ds::rebuilt_disk_lines(src.disk, written);
    std::vector<std::string> lines = {"covered " + std::to_string(written) + " bytes"};
    if (src.partitions_end > written)
        lines.push_back("recovered in part: its partitions reach byte " + std::to_string(src.partitions_end) +
                        ", one pointer block addresses the first " + std::to_string(written));
    return lines;
}

} // namespace dscli
