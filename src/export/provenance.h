#pragma once
// What an export record says about how it was made: which program, from
// which disks, when, and by which command. The command line and the window
// write the same record.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace ds {

class Datastore;

// The program's version, "X.Y.Z", as the build was given it.
const char* program_version();

// A disk the export read, as the operator gave it.
struct ProvenanceDisk {
    std::string path;
    int64_t start_sector = 0;
};

// {"program", "version", "disks": [{"path", "start_sector", "size"}],
// "started", "ended", "command_line": [...]}: size is what each disk reads
// as in bytes (null when it cannot be opened), "ended" is now. A path or an
// argument that is not UTF-8 is written escaped, its exact bytes beside it
// ("path_bytes", "command_line_bytes").
nlohmann::json provenance_json(Datastore& store, const std::vector<ProvenanceDisk>& disks, int64_t started,
                               const std::vector<std::string>& command_line);

} // namespace ds
