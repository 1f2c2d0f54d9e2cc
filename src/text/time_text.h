#pragma once
// The one place where a time becomes text. Descriptor times are signed
// 32-bit seconds from 1970-01-01 00:00:00 with no time zone; the rows of the
// lists, ls -l, JSON and the export manifest all print them through here, so
// times before 1970 and both ends of the 32-bit range read the same
// everywhere.

#include <cstdint>
#include <string>

namespace ds {

// "yyyy-mm-dd hh:mm:ss" of t seconds from 1970-01-01 00:00:00, no time zone
// applied: the form of the recovered-file list and of ls -l.
std::string format_unix_time(int32_t t);

// ISO 8601 in UTC, "yyyy-mm-ddThh:mm:ssZ", for JSON and the manifest. Takes
// 64-bit seconds so that the clock's own times (when an export started) fit.
std::string iso_utc_time(int64_t t);

} // namespace ds
