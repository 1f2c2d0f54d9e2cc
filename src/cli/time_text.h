#pragma once

#include <cstdint>
#include <string>

namespace dscli {

// "yyyy-mm-dd hh:mm:ss" of t seconds from 1970-01-01 00:00:00 UTC; times
// before 1970 included, no time zone applied.
std::string utc_time_text(int32_t t);
// The same moment in ISO 8601: "yyyy-mm-ddThh:mm:ssZ".
std::string utc_iso_time(int32_t t);

} // namespace dscli
