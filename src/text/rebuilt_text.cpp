#include "text/rebuilt_text.h"

#include <algorithm>

namespace ds {

int64_t rebuilt_piece_length(const RebuiltDisk& d, size_t s) {
    return std::min(d.piece_bytes, d.length - static_cast<int64_t>(s) * d.piece_bytes);
}

int64_t rebuilt_bytes_by(const RebuiltDisk& d, PieceEvidence e) {
    int64_t n = 0;
    for (size_t s = 0; s < d.pieces.size(); ++s)
        if (d.pieces[s].evidence == e) n += rebuilt_piece_length(d, s);
    return n;
}

int64_t rebuilt_bytes_empty(const RebuiltDisk& d) {
    int64_t n = 0;
    for (size_t s = 0; s < d.pieces.size(); ++s)
        if (d.pieces[s].pointer_block == 0) n += rebuilt_piece_length(d, s);
    return n;
}

std::vector<std::string> rebuilt_disk_lines(const RebuiltDisk& d, int64_t written) {
    std::vector<std::string> lines = {
        "rebuilt " + std::to_string(written) + " bytes from " + std::to_string(d.placed()) + " of " +
            std::to_string(d.pieces.size()) + " pointer blocks",
        "placed by its boot record: " + std::to_string(rebuilt_bytes_by(d, PieceEvidence::first)) + " bytes",
        "placed by the guest: " + std::to_string(rebuilt_bytes_by(d, PieceEvidence::guest)) + " bytes",
        "placed by contiguity: " + std::to_string(rebuilt_bytes_by(d, PieceEvidence::contiguity)) + " bytes",
        "placed by neighbours in .pbc.sf: " + std::to_string(rebuilt_bytes_by(d, PieceEvidence::neighbours)) + " bytes",
        "left empty: " + std::to_string(rebuilt_bytes_empty(d)) + " bytes"};
    // Neighbouring holes for the same reason are one line.
    for (size_t s = 0; s < d.pieces.size();) {
        if (d.pieces[s].pointer_block != 0) {
            ++s;
            continue;
        }
        size_t e = s + 1;
        int64_t bytes = rebuilt_piece_length(d, s);
        while (e < d.pieces.size() && d.pieces[e].pointer_block == 0 && d.pieces[e].detail == d.pieces[s].detail)
            bytes += rebuilt_piece_length(d, e++);
        lines.push_back("hole at byte " + std::to_string(static_cast<int64_t>(s) * d.piece_bytes) + ", " +
                        std::to_string(bytes) + " bytes: " + d.pieces[s].detail);
        s = e;
    }
    return lines;
}

} // namespace ds
