#pragma once
// A directory of an earlier file system, found below its old root by the
// format recovery after the datastore was formatted again. It is read like
// any directory except that, when its own first block was reused, a free
// sub-block holding its first entries takes that block's place. Every reader
// of a found directory (listing, export of the directory file or of the
// folder, the "DIR<n>" paths and nodes) gets it from here.

#include "vmfs/inode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

struct Datastore;

struct found_dir {
    int32_t number = 0;          // 1-based, as in the node caption "DIR<n>"
    uint32_t dir_id = 0;         // the directory's descriptor id
    int32_t first_block = -1;    // sub-block id that replaces blocks[0], or -1
};

// A datastore keeps the table of its last format recovery, the record
// numbered k at index k - 1. It is emptied whenever the file system is opened
// or closed: the records name descriptors of that opening only.

// The record numbered number, or nullptr.
const found_dir* found_dir_by_number(Datastore& store, int32_t number);

// "DIR<n>": the name of its node and of its paths.
std::string found_dir_name(const found_dir& d);

// The id that takes the place of the directory's first block (an unsigned
// sub-block id), or -1 when its own first block is used.
int64_t found_dir_first_block(const found_dir& d);
// The same by number; -1 also when there is no such record.
int64_t found_dir_first_block(Datastore& store, int32_t number);

// Puts first_block (when not -1) in place of the first block id of a
// descriptor read into memory; nothing is written to the disks.
void substitute_first_block(tvmfs_inode& inode, int64_t first_block);

// inode_get followed by that substitution: how every reader reads a node
// that may be a found directory.
int inode_get_substituted(Datastore& store, uint32_t id, int64_t first_block, tvmfs_inode& inode);

} // namespace ds
