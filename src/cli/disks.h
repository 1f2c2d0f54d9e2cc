#pragma once
// The -d options: which disks form the logical volume, and the opening of
// the file system that every reading command starts with.

#include <cstdint>
#include <string>
#include <vector>

namespace ds {
class Datastore;
}

namespace dscli {

inline constexpr int64_t kDefaultStartSector = 2048;

struct DiskSpec {
    std::string path;
    int64_t start_sector = kDefaultStartSector;
    // False: no "@SECTOR"; the start is looked for (Datastore::find_start).
    bool sector_given = false;
};

// Splits PATH[@SECTOR]. The text after the last "@" is the sector when it is
// a whole number; otherwise the whole text is the path when such a file
// exists. False (with *error) for a sector that is not a whole number, is
// negative, or lies past what a 64-bit byte offset reaches.
bool parse_disk_spec(const std::string& text, DiskSpec& out, std::string* error);

// Whether path names something that can be read as a disk without blocking:
// a regular file or a block device (not a pipe, a terminal or a socket).
bool readable_as_disk(const std::string& path);

// Why path cannot be read as a disk, in the system's words ("No such file
// or directory", "Is a directory", "Permission denied"...); empty when it
// can be opened for reading as a regular file or a block device.
std::string disk_unreadable_reason(const std::string& path);

// Adds the disks in order exactly as the disk settings' add-disk does; a
// disk without "@SECTOR" at the start its partition table names or the
// first usual start with a volume header. Warns on stderr when members of
// the volume are missing. Returns an exit status; a refusal prints its
// message.
int add_disks(ds::Datastore& store, const std::vector<std::string>& specs);

// Opens the file system as the browse command does. A message ends the run
// (exit 1). With pane set, the information-pane lines are handed back even
// when the opening stopped after filling them.
// With message set, the message the opening stopped with (empty when none).
int open_file_system(ds::Datastore& store, std::vector<std::string>* pane = nullptr, std::string* message = nullptr);

// add_disks followed by open_file_system.
int open_datastore(ds::Datastore& store, const std::vector<std::string>& specs);

} // namespace dscli
