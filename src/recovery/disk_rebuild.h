#pragma once
// A lost virtual disk put together whole: from the free pointer block with
// its boot record, the other free pointer blocks placed in order by what
// pins each one to its position, strongest evidence first. A position no
// evidence settles, or that two pointer blocks fit equally, stays a hole.

#include "vmfs/datastore.h"
#include "vmfs/inode.h"

#include <cstdint>
#include <vector>

namespace ds {

struct Store;
class LiveBlocks;

// Rebuilds the disk of every row. The live files' blocks are gathered once;
// each candidate's pointer block is read once per row at most. Memory: the
// candidates, two sorted indexes of them (8 bytes each) and the pieces.
std::vector<RebuiltDisk> rebuild_lost_disks(Store& store, const std::vector<PartitionRow>& rows,
                                            const std::vector<PointerBlockCandidate>& candidates);
std::vector<RebuiltDisk> rebuild_lost_disks(Store& store, const std::vector<PartitionRow>& rows,
                                            const std::vector<PointerBlockCandidate>& candidates,
                                            const LiveBlocks& live);

// A regular file through the placed pointer blocks (holes as null slots).
Descriptor rebuilt_disk_descriptor(const Store& store, const RebuiltDisk& disk);

} // namespace ds
