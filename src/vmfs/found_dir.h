#pragma once
// A directory of an earlier file system, found below its old root by the
// format recovery after the datastore was formatted again. It is read like
// any directory except that, when its own first block was reused, a free
// sub-block holding its first entries takes that block's place. Every reader
// of a found directory (listing, export of the directory file or of the
// folder, the "DIR<n>" paths and nodes) gets it from here.

#include "vmfs/datastore.h"
#include "vmfs/inode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

struct Store;

// A datastore keeps the table of its last format recovery, the record
// numbered k at index k - 1. It is emptied whenever the file system is opened
// or closed: the records name descriptors of that opening only.

// The record numbered number, or nullptr.
const FoundDir* found_dir_by_number(Store& store, int32_t number);

// "DIR<n>": the name of its node and of its paths.
std::string found_dir_name(const FoundDir& d);

// The id that takes the place of the directory's first block (an unsigned
// sub-block id), or -1 when its own first block is used.
int64_t found_dir_first_block(const FoundDir& d);
// The same by number; -1 also when there is no such record.
int64_t found_dir_first_block(Store& store, int32_t number);

// Puts first_block (when not -1) in place of the first block id of a
// descriptor read into memory; nothing is written to the disks.
void substitute_first_block(Descriptor& inode, int64_t first_block);

// inode_get followed by that substitution: how every reader reads a node
// that may be a found directory.
int inode_get_substituted(Store& store, uint32_t id, int64_t first_block, Descriptor& inode);

} // namespace ds
