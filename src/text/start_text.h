#pragma once
// The words for where a disk's volume was found to start, for a search that
// found nothing, for a volume with members missing, and for a read that fell
// on one of them.

#include "vmfs/datastore.h"

#include <string>

namespace ds {

// "table" words for how a start was chosen: "given", "MBR", "GPT", "probe".
const char* start_from_word(StartFrom from);

// The info line for member k (1-based): "start_sector 1>PATH:128 (MBR)".
std::string start_line(int k, const VolumeMember& m);

// The line after "vlm not find" for a disk given without a sector: what was
// tried and what to do next. shown is the path as printed.
std::string start_not_found_hint(const std::string& shown, const StartSearch& s);

// The warning for a volume opened with members missing ("" when none are).
std::string degraded_warning(const MissingSegments& m);

// A failure's reason to add to a message: the system's, or where a read
// fell on a member not given; "" when there is none.
std::string failure_reason(const Failure& f);

} // namespace ds
