#pragma once
// The open file system and the opening sequence of the browse command.

#include "vmfs/bitmap.h"
#include "vmfs/fsinfo.h"

#include <string>
#include <vector>

namespace ds {

struct Datastore;

// The system files, as bits of tvmfs_fs::found.
enum SystemFileBit : uint8_t { kFoundFbb = 1, kFoundSbc = 2, kFoundPbc = 4, kFoundFdc = 8 };

struct tvmfs_fs {
    tvmfs_fsinfo fsinfo;
    tvmfs_bitmap fbb;
    tvmfs_bitmap sbc;
    tvmfs_bitmap pbc;
    tvmfs_bitmap fdc;
    // Which system files the last opening found in the root and opened. A
    // record it did not find holds nothing of this datastore (or, at first,
    // nothing at all), so what needs it must say so instead of finding nothing.
    uint8_t found = 0;
};

// The recovery commands' test that the file system has been opened.
bool fs_is_open(Datastore& store);

// Closes the open file system: after the disks change nothing of it may be
// read any more, and every command answers as before a first opening.
void fs_close(Datastore& store);

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
OpenOutcome fs_open(Datastore& store);

// The information pane as the main window fills it.
std::vector<std::string> info_lines(Datastore& store);

} // namespace ds
