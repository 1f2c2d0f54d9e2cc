#pragma once
// The provenance record of the command line's exports: the shared record
// (export/provenance.h) over the disks given with -d and the command line.

#include "options.h"

#include <nlohmann/json.hpp>

namespace ds {
class Datastore;
}

namespace dscli {

// The "provenance" member of the export documents and of the manifest:
// {"program", "version", "disks": [{"path", "start_sector", "size"}],
// "started", "ended", "command_line": [...]}. The disks are those given
// with -d, with the size in bytes that each reads as (null when it cannot be
// opened); "ended" is now.
nlohmann::json provenance_json(ds::Datastore& store, const Options& opt);

} // namespace dscli
