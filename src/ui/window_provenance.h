#pragma once
// How a copy made from the window came about, for the manifest beside it, in
// the same form the command line writes: the program and its version, the
// volume's disks (path, start sector, size), when the copy started and
// ended. The window has no command line of its own to record: the program's
// arguments stand there, and the window command that made the copy beside
// them.

#include <cstdint>
#include <string>
#include <vector>

namespace ds {
class Datastore;
}

namespace ds::ui {

// The JSON object, as text; "ended" is now.
std::string window_provenance(Datastore& store, int64_t started, const std::vector<std::string>& arguments,
                              const std::string& command);

} // namespace ds::ui
