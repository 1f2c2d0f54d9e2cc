#include "recovery/disk_rebuild.h"
#include "vmfs/store.h"

#include "recovery/guest_witness.h"
#include "recovery/live_blocks.h"
#include "vmfs/bitmap.h"
#include "vmfs/blockid.h"
#include "vmfs/file_read.h"
#include "vmfs/fs.h"
#include "vmfs/le.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>

namespace ds {

const char* piece_evidence_text(PieceEvidence e) {
    switch (e) {
    case PieceEvidence::first: return "first";
    case PieceEvidence::guest: return "guest";
    case PieceEvidence::contiguity: return "contiguity";
    case PieceEvidence::neighbours: return "neighbours";
    case PieceEvidence::none: return "hole";
    case PieceEvidence::ambiguous: return "ambiguous";
    case PieceEvidence::live_blocks: return "live-blocks";
    }
    return "hole";
}

const char* piece_confidence_text(PieceEvidence e) {
    switch (e) {
    case PieceEvidence::first:
    case PieceEvidence::guest: return "certain";
    case PieceEvidence::contiguity: return "likely";
    case PieceEvidence::neighbours: return "weak";
    default: return "none";
    }
}

int RebuiltDisk::count(PieceEvidence e) const {
    return static_cast<int>(std::count_if(pieces.begin(), pieces.end(), [e](const RebuiltPiece& p) { return p.evidence == e; }));
}

int RebuiltDisk::placed() const {
    return static_cast<int>(std::count_if(pieces.begin(), pieces.end(), [](const RebuiltPiece& p) { return p.pointer_block != 0; }));
}

namespace {

using Index = std::vector<std::pair<uint32_t, uint32_t>>;   // (block id, candidate), sorted

std::vector<uint32_t> lookup(const Index& index, uint32_t id) {
    std::vector<uint32_t> out;
    auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(id, uint32_t{0}));
    for (; it != index.end() && it->first == id; ++it) out.push_back(it->second);
    return out;
}

uint64_t walk_index_of(const Store& store, uint32_t pb) {
    return uint64_t{pb_entry(pb)} * static_cast<uint64_t>(std::max(store.fs.pbc.header.items_per_entry, 1)) + pb_item(pb);
}

// What the rebuild of every row shares: the candidates, their indexes, and
// which of them name blocks of live files (learnt when first read).
struct Pool {
    Store& store;
    const std::vector<PointerBlockCandidate>& cands;
    const LiveBlocks& live;
    Index by_first, by_last;
    std::vector<int8_t> tainted;   // -1 not yet known
    std::vector<uint8_t> buf;

    Pool(Store& s, const std::vector<PointerBlockCandidate>& c, const LiveBlocks& l) : store(s), cands(c), live(l) {
        for (uint32_t i = 0; i < cands.size(); ++i) {
            if (cands[i].first_id) by_first.emplace_back(cands[i].first_id, i);
            if (cands[i].last_id) by_last.emplace_back(cands[i].last_id, i);
        }
        std::sort(by_first.begin(), by_first.end());
        std::sort(by_last.begin(), by_last.end());
        tainted.assign(cands.size(), -1);
        const int32_t size = store.fs.pbc.header.item_size;
        buf.resize(size > 0 && size <= kMaxItemSize ? static_cast<size_t>(size) : 0);
    }

    // The pointer block's ids into buf; false when it cannot be read.
    bool read(uint32_t pb) {
        return !buf.empty() && bitmap_read_item(store, store.fs.pbc, pb_entry(pb), pb_item(pb), buf);
    }
    bool names_live(uint32_t pb) const {
        if (live.owns_pointer_block(pb)) return true;
        for (size_t r = 0; r + 4 <= buf.size(); r += 4)
            if (live.owns_file_block(load_le<uint32_t>(buf, r))) return true;
        return false;
    }
    // Whether candidate i may be used; reads it when not yet known.
    bool clean(uint32_t i) {
        if (tainted[i] < 0) tainted[i] = !read(cands[i].pointer_block) || names_live(cands[i].pointer_block);
        return tainted[i] == 0;
    }
};

// Enough to pin a position and to survive a damaged copy; more only costs reads.
constexpr int kWitnessesPerPosition = 8;

struct Probe {
    int64_t index;      // id index inside the pointer block
    int64_t in_block;   // offset inside that block
    int64_t bytes;
    std::vector<size_t> witnesses;
};

// One look at a candidate's block for a probe.
struct ProbeRead {
    int64_t at;           // volume offset: where the disk is read
    uint32_t id;          // the file block
    uint32_t candidate;
    uint32_t probe;
};
// Looks gathered before they are sorted and read: a few MiB.
constexpr size_t kReadsAtOnce = 1 << 16;
// Bounds the witnesses of one probe (kWitnessesPerPosition per position, for
// every position of a disk), for an order among all of them.
constexpr int64_t kMaxWitnessesPerProbe = int64_t{kWitnessesPerPosition} * kBlockSlots;

RebuiltDisk rebuild_one(Pool& pool, const PartitionRow& row) {
    Store& store = pool.store;
    RebuiltDisk disk;
    const int64_t bs = store.fs.fsinfo.blocksize;
    const int64_t per = static_cast<int64_t>(pool.buf.size() / 4);
    if (bs <= 0 || per <= 0 || row.pointer_block == 0) return disk;
    disk.piece_bytes = per * bs;
    const int64_t reach = int64_t{kBlockSlots} * disk.piece_bytes;

    // The first piece, and what the guest says through it.
    std::vector<uint32_t> first_ids;
    bool first_ok = pool.read(row.pointer_block);
    if (first_ok) {
        for (int64_t r = 0; r < per; ++r) first_ids.push_back(load_le<uint32_t>(pool.buf, 4 * r));
        first_ok = !pool.names_live(row.pointer_block);
    }
    const GuestReader read_first = [&](int64_t off, uint8_t* out, int64_t len) {
        if (!first_ok || off < 0 || len <= 0 || off / bs >= per || off % bs + len > bs) return false;
        const uint32_t id = first_ids[static_cast<size_t>(off / bs)];
        if (id == 0) {
            std::fill(out, out + len, uint8_t{0});
            return true;
        }
        return file_block_probe(store, id, out, len, off % bs) == len;
    };
    const GuestLayout guest = read_guest_layout(read_first, reach);
    disk.length = std::max(guest.length, std::min(row.partitions_end, reach));
    if (disk.length <= 0) disk.length = disk.piece_bytes;
    const auto n = static_cast<size_t>((disk.length + disk.piece_bytes - 1) / disk.piece_bytes);
    disk.pieces.assign(n, RebuiltPiece{0, PieceEvidence::none, "no free pointer block fits this position"});
    if (first_ok)
        disk.pieces[0] = {row.pointer_block, PieceEvidence::first, "its first block holds the boot record"};
    else
        disk.pieces[0] = {0, PieceEvidence::live_blocks, "the pointer block cannot be read or names blocks of live files"};

    // The guest's witnesses, grouped by where they lie inside a pointer
    // block's range, so that each candidate costs one read per group. Those
    // that name their place come first; a few per position are enough.
    std::map<std::tuple<int64_t, int64_t, int64_t>, Probe> probes;
    std::vector<bool> pinned(n, false);
    std::vector<int> per_position(n, 0);
    std::vector<size_t> order(guest.witnesses.size());
    for (size_t w = 0; w < order.size(); ++w) order[w] = w;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return guest.witnesses[a].names_place > guest.witnesses[b].names_place;
    });
    for (size_t w : order) {
        const Witness& wt = guest.witnesses[w];
        const auto s = static_cast<size_t>(wt.offset / disk.piece_bytes);
        const int64_t in_piece = wt.offset % disk.piece_bytes;
        if (s == 0 || s >= n || in_piece % bs + wt.bytes > bs || per_position[s] >= kWitnessesPerPosition) continue;
        pinned[s] = true;
        ++per_position[s];
        Probe& p = probes[{in_piece / bs, in_piece % bs, wt.bytes}];
        p.index = in_piece / bs;
        p.in_block = in_piece % bs;
        p.bytes = wt.bytes;
        p.witnesses.push_back(w);
    }
    // Per position the candidates that hold its witnesses, and per candidate
    // the positions it fits: [0] by witnesses that name their place, [1] by copies.
    std::vector<std::set<uint32_t>> matches[2] = {std::vector<std::set<uint32_t>>(n), std::vector<std::set<uint32_t>>(n)};
    std::map<uint32_t, std::set<size_t>> fits_at[2];
    std::vector<std::string> match_detail[2] = {std::vector<std::string>(n), std::vector<std::string>(n)};
    if (!probes.empty()) {
        std::vector<const Probe*> keyed;
        for (const auto& [key, p] : probes) keyed.push_back(&p);
        // The detail a position names comes from the last match in candidate
        // order, then probe order, whatever order the reads took.
        std::vector<std::pair<int64_t, int64_t>> detail_from[2] = {std::vector<std::pair<int64_t, int64_t>>(n, {-1, -1}),
                                                                   std::vector<std::pair<int64_t, int64_t>>(n, {-1, -1})};
        std::vector<ProbeRead> reads;
        uint8_t bytes[kWitnessBytes];
        auto read_all = [&] {
            // Forward over the disk, and each place once: pointer blocks
            // that share a block (clones, stale copies) share its read.
            std::sort(reads.begin(), reads.end(), [&](const ProbeRead& a, const ProbeRead& b) {
                return std::tuple(a.at, keyed[a.probe]->bytes, a.candidate, a.probe) <
                       std::tuple(b.at, keyed[b.probe]->bytes, b.candidate, b.probe);
            });
            int64_t held_at = -1, held_bytes = 0;
            bool readable = false;
            for (const ProbeRead& r : reads) {
                const Probe& p = *keyed[r.probe];
                if (r.at != held_at || p.bytes != held_bytes) {
                    held_at = r.at;
                    held_bytes = p.bytes;
                    readable = file_block_probe(store, r.id, bytes, p.bytes, p.in_block) == p.bytes;
                }
                if (!readable) continue;
                for (size_t k = 0; k < p.witnesses.size(); ++k) {
                    const Witness& wt = guest.witnesses[p.witnesses[k]];
                    if (!witness_holds(wt, bytes)) continue;
                    const auto s = static_cast<size_t>(wt.offset / disk.piece_bytes);
                    const int kind = wt.names_place ? 0 : 1;
                    matches[kind][s].insert(r.candidate);
                    fits_at[kind][r.candidate].insert(s);
                    const std::pair<int64_t, int64_t> from{r.candidate, int64_t{r.probe} * kMaxWitnessesPerProbe + k};
                    if (from > detail_from[kind][s]) {
                        detail_from[kind][s] = from;
                        match_detail[kind][s] = wt.detail;
                    }
                }
            }
            reads.clear();
        };
        for (uint32_t i = 0; i < pool.cands.size(); ++i) {
            if (pool.cands[i].pointer_block == row.pointer_block || !pool.clean(i)) continue;
            if (!pool.read(pool.cands[i].pointer_block)) continue;
            for (uint32_t k = 0; k < keyed.size(); ++k) {
                const uint32_t id = load_le<uint32_t>(pool.buf, static_cast<size_t>(4 * keyed[k]->index));
                if (blkid_type(id) != kBlockFile) continue;   // a hole
                reads.push_back({int64_t{fb_item(id)} * bs + keyed[k]->in_block, id, i, k});
            }
            if (reads.size() >= kReadsAtOnce) read_all();
        }
        read_all();
    }
    std::vector<bool> used(pool.cands.size(), false);
    // The ids at the ends of each placed piece (for contiguity) and its
    // place in ".pbc.sf" (for the neighbours).
    std::vector<uint32_t> first_of(n, 0), last_of(n, 0);
    std::vector<uint64_t> walk_of(n, 0);
    if (first_ok) {
        first_of[0] = first_ids.front();
        last_of[0] = first_ids.back();
        walk_of[0] = walk_index_of(store, row.pointer_block);
    }
    auto set_piece = [&](size_t s, uint32_t i, PieceEvidence e, std::string why) {
        disk.pieces[s] = {pool.cands[i].pointer_block, e, std::move(why)};
        used[i] = true;
        first_of[s] = pool.cands[i].first_id;
        last_of[s] = pool.cands[i].last_id;
        walk_of[s] = pool.cands[i].walk_index;
    };
    // A candidate that fits two positions by what names its place is a copy
    // of something (a clone, a stale block): it places neither.
    for (size_t s = 1; s < n; ++s) {
        if (!pinned[s]) continue;
        const std::set<uint32_t>& m = matches[0][s];
        if (m.size() == 1 && fits_at[0][*m.begin()].size() == 1)
            set_piece(s, *m.begin(), PieceEvidence::guest, match_detail[0][s]);
        else if (m.size() == 1)
            disk.pieces[s] = {0, PieceEvidence::ambiguous,
                              "the pointer block holding the " + match_detail[0][s] + " fits other positions too"};
        else if (m.size() > 1)
            disk.pieces[s] = {0, PieceEvidence::ambiguous,
                              std::to_string(m.size()) + " pointer blocks hold the " + match_detail[0][s]};
        else
            disk.pieces[s].detail = "no free pointer block holds what the guest puts here";
    }
    // Copies (the same table in every backup group) place a block only where
    // it fits one open position and nothing else fits there.
    auto still_open = [&](size_t s) { return disk.pieces[s].evidence == PieceEvidence::none; };
    for (size_t s = 1; s < n; ++s) {
        if (!pinned[s] || !still_open(s)) continue;
        std::vector<uint32_t> m;
        for (uint32_t i : matches[1][s])
            if (!used[i] && !fits_at[0].count(i)) m.push_back(i);
        if (m.size() > 1) {
            disk.pieces[s] = {0, PieceEvidence::ambiguous,
                              std::to_string(m.size()) + " pointer blocks hold the " + match_detail[1][s]};
            continue;
        }
        if (m.empty()) continue;
        const std::set<size_t>& at = fits_at[1][m[0]];
        if (std::count_if(at.begin(), at.end(), still_open) == 1)
            set_piece(s, m[0], PieceEvidence::guest, match_detail[1][s] + ", and no other open position fits it");
        else
            disk.pieces[s] = {0, PieceEvidence::ambiguous,
                              "the pointer block holding the " + match_detail[1][s] + " fits other open positions too"};
    }

    auto open_position = [&](size_t s) {
        return disk.pieces[s].evidence == PieceEvidence::none && !pinned[s];
    };
    bool saw_live = false;   // a candidate that would fit names blocks of live files
    auto usable = [&](const std::vector<uint32_t>& found) {
        std::vector<uint32_t> out;
        for (uint32_t i : found) {
            if (used[i]) continue;
            if (pool.clean(i))
                out.push_back(i);
            else
                saw_live = true;
        }
        return out;
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t s = 1; s < n; ++s) {
            if (!open_position(s)) continue;
            std::vector<uint32_t> fwd, back;
            saw_live = false;
            const bool has_prev = disk.pieces[s - 1].pointer_block != 0 && blkid_type(last_of[s - 1]) == kBlockFile;
            const bool has_next =
                s + 1 < n && disk.pieces[s + 1].pointer_block != 0 && blkid_type(first_of[s + 1]) == kBlockFile;
            if (has_prev && fb_item(last_of[s - 1]) < 0x3FFFFFFu)
                fwd = usable(lookup(pool.by_first, fb_build(fb_item(last_of[s - 1]) + 1)));
            if (has_next && fb_item(first_of[s + 1]) > 0)
                back = usable(lookup(pool.by_last, fb_build(fb_item(first_of[s + 1]) - 1)));
            std::vector<uint32_t> fits;
            if (!fwd.empty() && !back.empty())
                std::set_intersection(fwd.begin(), fwd.end(), back.begin(), back.end(), std::back_inserter(fits));
            else
                fits = fwd.empty() ? back : fwd;
            if (fits.size() == 1) {
                set_piece(s, fits[0], PieceEvidence::contiguity,
                          !fwd.empty() ? "its first block follows block " + std::to_string(fb_item(last_of[s - 1])) +
                                             ", the last of the position before"
                                       : "its last block precedes block " + std::to_string(fb_item(first_of[s + 1])) +
                                             ", the first of the position after");
                changed = true;
            } else if (fits.empty() && fwd.empty() && back.empty() && saw_live) {
                disk.pieces[s] = {0, PieceEvidence::live_blocks,
                                  "the pointer block that continues its neighbour names blocks of live files"};
            } else if (fits.size() > 1 || (!fwd.empty() && !back.empty())) {
                disk.pieces[s] = {0, PieceEvidence::ambiguous,
                                  std::to_string(std::max<size_t>(fits.size(), 2)) +
                                      " pointer blocks continue the block runs of its neighbours"};
            }
        }
        if (changed) continue;
        // Weakest: the one pointer block that lies halfway between two placed
        // neighbours in ".pbc.sf", as a growing disk allocates them.
        for (size_t s = 1; s + 1 < n && !changed; ++s) {
            if (!open_position(s) || disk.pieces[s - 1].pointer_block == 0 || disk.pieces[s + 1].pointer_block == 0) continue;
            const uint64_t q1 = walk_of[s - 1], q2 = walk_of[s + 1];
            if (q2 <= q1 || (q2 - q1) % 2 != 0) continue;
            const uint64_t mid = q1 + (q2 - q1) / 2;
            auto it = std::lower_bound(pool.cands.begin(), pool.cands.end(), mid,
                                       [](const PointerBlockCandidate& c, uint64_t q) { return c.walk_index < q; });
            if (it == pool.cands.end() || it->walk_index != mid) continue;
            const auto i = static_cast<uint32_t>(it - pool.cands.begin());
            if (used[i] || !pool.clean(i)) continue;
            set_piece(s, i, PieceEvidence::neighbours, "it lies halfway between its neighbours in .pbc.sf");
            changed = true;
        }
    }
    return disk;
}

} // namespace

std::vector<RebuiltDisk> rebuild_lost_disks(Store& store, const std::vector<PartitionRow>& rows,
                                            const std::vector<PointerBlockCandidate>& candidates,
                                            const LiveBlocks& live) {
    Pool pool(store, candidates, live);
    std::vector<RebuiltDisk> out;
    out.reserve(rows.size());
    for (const PartitionRow& row : rows) out.push_back(rebuild_one(pool, row));
    return out;
}

std::vector<RebuiltDisk> rebuild_lost_disks(Store& store, const std::vector<PartitionRow>& rows,
                                            const std::vector<PointerBlockCandidate>& candidates) {
    if (rows.empty()) return {};
    return rebuild_lost_disks(store, rows, candidates, LiveBlocks::of(store));
}

Descriptor rebuilt_disk_descriptor(const Store& store, const RebuiltDisk& disk) {
    Descriptor in;
    in.type = kTypeRegular;
    in.addr_mode = 3;
    in.block_size = store.fs.fsinfo.blocksize;
    in.size = disk.length;
    for (size_t s = 0; s < disk.pieces.size() && s < static_cast<size_t>(kBlockSlots); ++s)
        in.blocks[s] = disk.pieces[s].pointer_block;
    in.block_count = in.block_size > 0 ? disk.length / in.block_size : 0;
    return in;
}

} // namespace ds
