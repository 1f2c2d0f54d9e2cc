#pragma once
// The --mapfile given with a -d: the bytes its rescue tool did not mark
// finished count as unreadable.

#include "options.h"
#include "vmfs/datastore.h"

namespace dscli {

// Reads and checks every --mapfile against its image before anything of the
// datastore is read. An exit status: a mapfile that cannot be read, is
// malformed or describes another size than its image ends the run (1).
int use_mapfiles(ds::Datastore& store, const Options& opt);

} // namespace dscli
