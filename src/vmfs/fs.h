#pragma once
// The open file system and the opening sequence of the browse command.

#include "disk/failure.h"
#include "vmfs/bitmap.h"
#include "vmfs/fsinfo.h"

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

// Where an opening of the file system stopped.
enum class OpenFailure {
    none,
    no_disks,             // no disk has been set
    fsinfo_unreadable,    // the file-system descriptor
    fdc_unopenable,       // ".fdc.sf", provisionally or as the root names it
    root_unreadable,      // the root directory's descriptor
    fbb_unopenable,
    pbc_unopenable,
    sbc_unopenable,
};

// How an opening of the file system went, for the front end to show.
struct OpenOutcome {
    OpenFailure failure = OpenFailure::none;
    Failure read_failure;                // why, when a read of a disk failed
    bool pane_filled = false;            // the descriptor was read: the pane shows it anew
    bool tree_rebuilt = false;           // the tree now holds "/" alone
    bool completed = false;              // the root walk reached its end (hints on)
};

// Runs the browse command's opening: checks the disks, reads the descriptor
// (the information pane's values), opens ".fdc.sf" provisionally, reads the
// root directory and opens the system files it names.
OpenOutcome fs_open(Datastore& store);

} // namespace ds
