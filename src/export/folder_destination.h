#pragma once
// Where a folder export goes, and whether it may go there: nothing is written
// before every check has passed, and nothing on the host is replaced.

#include "export/folder_export.h"
#include "export/host_write.h"

#include <functional>
#include <string>

namespace ds {

// The destination directory, opened, and the directory that holds it and
// the manifest.
struct Destination {
    std::string shown;        // the destination as the operator gave it
    HostDir parent;
    std::string name;         // of the destination inside parent
    std::string manifest_name;
    HostDir top;
};

// Checks and creates the destination. False (with r.refused) when nothing
// may be written there; source_ok tells whether the source can be read.
bool prepare_destination(const Datastore& store, const std::string& dest_dir, const FolderExportOptions& options,
                         Destination& d, FolderExportResult& r, const std::function<bool()>& source_ok);

} // namespace ds
