#pragma once

#include <cstdint>
#include <string>

namespace dscli {

// "yyyy-mm-dd hh:mm:ss" of t seconds from 1970-01-01 00:00:00 UTC; times
// before 1970 included, no time zone applied.
std::string utc_time_text(int32_t t);

} // namespace dscli
