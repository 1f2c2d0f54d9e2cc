#include "export/provenance.h"

namespace ds {

const char* program_version() { return DATUMSIFT_VERSION; }

} // namespace ds
