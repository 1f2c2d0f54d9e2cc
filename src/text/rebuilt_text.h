#pragma once
// What a saved-out rebuilt virtual disk is said to hold: how much each kind
// of evidence placed and which positions stayed holes. The command line and
// the window say the same lines.

#include "vmfs/datastore.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

// "rebuilt N bytes from P of Q pointer blocks", the bytes each evidence
// placed, "left empty: N bytes", then one line per run of holes left for the
// same reason.
std::vector<std::string> rebuilt_disk_lines(const RebuiltDisk& d, int64_t written);

// The bytes pieces placed by evidence e (the last piece may be short).
int64_t rebuilt_bytes_by(const RebuiltDisk& d, PieceEvidence e);
// The bytes of the pieces left as holes.
int64_t rebuilt_bytes_empty(const RebuiltDisk& d);
// The bytes of piece s.
int64_t rebuilt_piece_length(const RebuiltDisk& d, size_t s);

} // namespace ds
