#pragma once
// The open file system and the opening sequence of the browse command.

#include "vmfs/bitmap.h"
#include "vmfs/fsinfo.h"

#include <string>
#include <vector>

namespace ds {

struct tvmfs_fs {
    tvmfs_fsinfo fsinfo;
    tvmfs_bitmap fbb;
    tvmfs_bitmap sbc;
    tvmfs_bitmap pbc;
    tvmfs_bitmap fdc;
};

// The process-wide open file system.
tvmfs_fs& fs_state();

// Empties the logical volume, the file system, the reader's cache and every
// handle it holds: a clean start for tests and for a new session.
void reset_state();

// The recovery commands' test that the file system has been opened.
bool fs_is_open();

// How an opening of the file system went, for the front end to show.
struct OpenOutcome {
    std::string message;                 // empty when the opening showed none
    bool pane_filled = false;            // info_lines are the new pane
    std::vector<std::string> info_lines;
    bool tree_rebuilt = false;           // the tree now holds "/" alone
    bool completed = false;              // the root walk reached its end (hints on)
};

// Runs the browse command's opening: checks the disks, reads the descriptor,
// fills the information pane, opens ".fdc.sf" provisionally, reads the root
// directory and opens the system files it names.
OpenOutcome fs_open();

// The information pane as the main window fills it.
std::vector<std::string> info_lines();

} // namespace ds
