#include "text/time_text.h"

#include <cstdio>

namespace ds {
namespace {

// Proleptic Gregorian date and time of day of t seconds from the epoch;
// exact for negative t too, so times before 1970 need no special case.
struct Civil {
    long long year;
    unsigned month, day, hour, minute, second;
};

Civil civil(int64_t t) {
    constexpr int64_t kDay = 86400;
    int64_t days = t / kDay;
    int64_t secs = t % kDay;
    if (secs < 0) {   // floor, so that -1 is the last second of the day before
        secs += kDay;
        --days;
    }
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const auto s = static_cast<unsigned>(secs);
    return {static_cast<long long>(yoe + era * 400 + (m <= 2 ? 1 : 0)), m, d, s / 3600, s / 60 % 60, s % 60};
}

std::string text(int64_t t, const char* format) {
    const Civil c = civil(t);
    char out[64];
    std::snprintf(out, sizeof out, format, c.year, c.month, c.day, c.hour, c.minute, c.second);
    return out;
}

} // namespace

std::string format_unix_time(int32_t t) { return text(t, "%04lld-%02u-%02u %02u:%02u:%02u"); }

std::string iso_utc_time(int64_t t) { return text(t, "%04lld-%02u-%02uT%02u:%02u:%02uZ"); }

} // namespace ds
