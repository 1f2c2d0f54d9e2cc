#pragma once
// The second line under a message whose first line is the system's own and
// says neither which file nor what to do: the disk or path it concerns and
// the next step. Both front ends show these below the first line, which
// stays as it is.

#include "vmfs/datastore.h"

#include <string>

namespace ds {

// Under an add_disk refusal. shown is the refused disk as printed, refused
// its header as add_disk read it (the volume's spare slot), before the last
// disk joined so far (nullptr when none) and holder a disk known to hold
// segment 0 ("" when none is known); detect names the front end's search
// for disks. "" for a refusal that needs no line here (none, not_found,
// too_many).
std::string add_disk_next_step(AddDiskRefusal why, const std::string& shown, const VolumeMember& refused,
                               const VolumeMember* before, const std::string& holder, const std::string& detect);

// Under "read 512sec error ": the device, the system's reason and what to do.
std::string detect_read_next_step(const std::string& shown, const Failure& failure);

// Under "dir open error" for a path that names a file.
std::string dir_is_file_next_step(const std::string& shown);
// Under "dir open error" for a directory whose descriptor could not be read.
std::string dir_unreadable_next_step(const std::string& shown, const Failure& failure);

// Under "please view file first": the file system is not open, because the
// disks changed since the last browse (disks_changed) or none was made yet;
// browse names the command that opens it as the front end shows it.
std::string not_open_next_step(bool disks_changed, const std::string& browse);

} // namespace ds
