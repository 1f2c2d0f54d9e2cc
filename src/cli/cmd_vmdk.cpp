#include "commands.h"
#include "disks.h"
#include "output.h"
#include "scans.h"
#include "vmfs/datastore.h"

#include "text/row_text.h"

#include <nlohmann/json.hpp>

namespace dscli {

namespace {

// "314572800 bytes, 5/5 pointer blocks placed (1 first, 2 guest, 2 contiguity)"
std::string rebuilt_text(const ds::RebuiltDisk& d) {
    std::string s = std::to_string(d.length) + " bytes, " + std::to_string(d.placed()) + "/" +
                    std::to_string(d.pieces.size()) + " pointer blocks placed";
    std::string how;
    for (ds::PieceEvidence e : {ds::PieceEvidence::first, ds::PieceEvidence::guest, ds::PieceEvidence::contiguity,
                                ds::PieceEvidence::neighbours, ds::PieceEvidence::none, ds::PieceEvidence::ambiguous,
                                ds::PieceEvidence::live_blocks}) {
        const int k = d.count(e);
        if (k > 0) how += (how.empty() ? "" : ", ") + std::to_string(k) + " " + ds::piece_evidence_text(e);
    }
    return s + (how.empty() ? "" : " (" + how + ")");
}

nlohmann::json rebuilt_json(const ds::RebuiltDisk& d) {
    nlohmann::json pieces = nlohmann::json::array(), holes = nlohmann::json::array();
    for (size_t s = 0; s < d.pieces.size(); ++s) {
        const ds::RebuiltPiece& p = d.pieces[s];
        pieces.push_back({{"position", s},
                          {"pointer_block", p.pointer_block},
                          {"evidence", ds::piece_evidence_text(p.evidence)},
                          {"confidence", ds::piece_confidence_text(p.evidence)},
                          {"detail", p.detail}});
        if (p.pointer_block == 0) holes.push_back({{"position", s}, {"offset", static_cast<int64_t>(s) * d.piece_bytes},
                                                   {"why", ds::piece_evidence_text(p.evidence)}});
    }
    return {{"length", d.length}, {"piece_bytes", d.piece_bytes}, {"pointer_blocks", pieces}, {"holes", holes}};
}

} // namespace

int cmd_vmdk(ds::Datastore& store, const Options& opt) {
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<ds::PartitionRow> rows;
    std::vector<ds::PointerBlockCandidate> candidates;
    std::vector<ds::SkippedArea> unreadable;
    ds::ScanEnd end = run_scan(opt, [&](const ds::ScanProgress& progress) {
        ds::ScanResult<ds::PartitionRow> found = store.scan_lost_disks(progress, {}, candidates);
        rows = std::move(found.rows);
        unreadable = std::move(found.unreadable);
        return found.end;
    });
    const std::vector<ds::RebuiltDisk> disks = store.rebuild_lost_disks(rows, candidates);
    auto disk_of = [&](const ds::PartitionRow& r) -> const ds::RebuiltDisk& {
        return disks[static_cast<size_t>(&r - rows.data())];
    };
    return print_scan_rows(
        opt, end, rows,
        [&](const ds::PartitionRow& r) {
            const std::array<std::string, 4> cells = ds::partition_row_cells(r);
            return nlohmann::json{{"sn", r.n},
                                  {"type", cells[2]},
                                  {"type_code", ds::partition_type_codes(r)},
                                  {"size", cells[3]},
                                  {"pointer_block", r.pointer_block},
                                  {"first_block", r.first_block},
                                  {"addressed_bytes", r.addressed_bytes},
                                  {"partitions_end", r.partitions_end},
                                  {"rebuilt", rebuilt_json(disk_of(r))}};
        },
        [&](const ds::PartitionRow& r) {
            const std::array<std::string, 4> cells = ds::partition_row_cells(r);
            return cells[0] + "\t" + cells[1] + "\t" + cells[2] + "\t" + cells[3] + "\t" + rebuilt_text(disk_of(r));
        },
        unreadable);
}

} // namespace dscli
