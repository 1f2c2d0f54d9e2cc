#include "export_vmdk.h"
#include "vmfs/datastore.h"

#include "error_codes.h"
#include "output.h"
#include "scans.h"

#include "text/messages.h"

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

namespace {

int64_t piece_length(const ds::RebuiltDisk& d, size_t s) {
    return std::min(d.piece_bytes, d.length - static_cast<int64_t>(s) * d.piece_bytes);
}

int64_t bytes_by(const ds::RebuiltDisk& d, ds::PieceEvidence e) {
    int64_t n = 0;
    for (size_t s = 0; s < d.pieces.size(); ++s)
        if (d.pieces[s].evidence == e) n += piece_length(d, s);
    return n;
}

int64_t bytes_empty(const ds::RebuiltDisk& d) {
    int64_t n = 0;
    for (size_t s = 0; s < d.pieces.size(); ++s)
        if (d.pieces[s].pointer_block == 0) n += piece_length(d, s);
    return n;
}

} // namespace

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
                             {"bytes", piece_length(d, s)}, {"why", ds::piece_evidence_text(d.pieces[s].evidence)},
                             {"detail", d.pieces[s].detail}});
    doc["partial"] = !holes.empty();
    doc["placed_bytes"] = {{"first", bytes_by(d, ds::PieceEvidence::first)},
                           {"guest", bytes_by(d, ds::PieceEvidence::guest)},
                           {"contiguity", bytes_by(d, ds::PieceEvidence::contiguity)},
                           {"neighbours", bytes_by(d, ds::PieceEvidence::neighbours)},
                           {"empty", bytes_empty(d)}};
    doc["holes"] = std::move(holes);
}

std::vector<std::string> lost_disk_coverage(const LostDiskSource& src, int64_t written) {
    if (src.rebuilt) {
        const ds::RebuiltDisk& d = src.disk;
        std::vector<std::string> lines = {
            "rebuilt " + std::to_string(written) + " bytes from " + std::to_string(d.placed()) + " of " +
                std::to_string(d.pieces.size()) + " pointer blocks",
            "placed by its boot record: " + std::to_string(bytes_by(d, ds::PieceEvidence::first)) + " bytes",
            "placed by the guest: " + std::to_string(bytes_by(d, ds::PieceEvidence::guest)) + " bytes",
            "placed by contiguity: " + std::to_string(bytes_by(d, ds::PieceEvidence::contiguity)) + " bytes",
            "placed by neighbours in .pbc.sf: " + std::to_string(bytes_by(d, ds::PieceEvidence::neighbours)) + " bytes",
            "left empty: " + std::to_string(bytes_empty(d)) + " bytes"};
        // Neighbouring holes for the same reason are one line.
        for (size_t s = 0; s < d.pieces.size();) {
            if (d.pieces[s].pointer_block != 0) {
                ++s;
                continue;
            }
            size_t e = s + 1;
            int64_t bytes = piece_length(d, s);
            while (e < d.pieces.size() && d.pieces[e].pointer_block == 0 && d.pieces[e].detail == d.pieces[s].detail)
                bytes += piece_length(d, e++);
            lines.push_back("hole at byte " + std::to_string(static_cast<int64_t>(s) * d.piece_bytes) + ", " +
                            std::to_string(bytes) + " bytes: " + d.pieces[s].detail);
            s = e;
        }
        return lines;
    }
    std::vector<std::string> lines = {"covered " + std::to_string(written) + " bytes"};
    if (src.partitions_end > written)
        lines.push_back("recovered in part: its partitions reach byte " + std::to_string(src.partitions_end) +
                        ", one pointer block addresses the first " + std::to_string(written));
    return lines;
}

} // namespace dscli
