#pragma once
// export -r: a folder of the datastore, everything below it, to a host
// directory, with a digest per file and a manifest beside the copy.

#include "options.h"
#include "resolve.h"

namespace dscli {

// Copies the resolved node r into opt.dest. Prints one "digest  path" line
// per file written (what sha256sum -c reads), then the summary; every item
// that did not copy whole is reported on stderr and makes the run end with 1.
int export_folder(ds::Datastore& store, const Options& opt, const Resolution& r);

} // namespace dscli
