#include "vmfs/datastore.h"

namespace ds {

Datastore::Datastore() : disk(make_posix_source()) {}
Datastore::Datastore(std::unique_ptr<SectorSource> source) : disk(std::move(source)) {}
Datastore::Datastore(SectorSource& source) : disk(source) {}

} // namespace ds
