#pragma once
// The open file system and the opening sequence of the browse command.

#include "vmfs/datastore.h"
#include "disk/failure.h"
#include "vmfs/bitmap.h"
#include "vmfs/fsinfo.h"

namespace ds {

struct Store;

// The system files, as bits of FileSystem::found.
enum SystemFileBit : uint8_t { kFoundFbb = 1, kFoundSbc = 2, kFoundPbc = 4, kFoundFdc = 8 };

struct FileSystem {
    FsInfo fsinfo;
    Bitmap fbb;
    Bitmap sbc;
    Bitmap pbc;
    Bitmap fdc;
    // Which system files the last opening found in the root and opened. A
    // record it did not find holds nothing of this datastore (or, at first,
    // nothing at all), so what needs it must say so instead of finding nothing.
    uint8_t found = 0;
};

// The recovery commands' test that the file system has been opened.
bool fs_is_open(Store& store);

// Closes the open file system: after the disks change nothing of it may be
// read any more, and every command answers as before a first opening.
void fs_close(Store& store);

// Runs the browse command's opening: checks the disks, reads the descriptor
// (the information pane's values), opens ".fdc.sf" provisionally, reads the
// root directory and opens the system files it names.
OpenOutcome fs_open(Store& store);

} // namespace ds
