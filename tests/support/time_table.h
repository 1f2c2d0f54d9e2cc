#pragma once
// The times every printing place is tried with: both sides of the epoch,
// both ends of the signed 32-bit range, leap days and day boundaries. One
// table, so that a place that formats a time its own way stands out.

#include <cstdint>
#include <string>
#include <vector>

namespace dstest {

struct TimeCase {
    int32_t t;
    const char* text;   // as the lists and ls -l print it
    const char* iso;    // as JSON and the manifest write it
};

inline const std::vector<TimeCase>& time_cases() {
    static const std::vector<TimeCase> cases = {
        {0, "1970-01-01 00:00:00", "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31 23:59:59", "1969-12-31T23:59:59Z"},
        {1234567890, "2009-02-13 23:31:30", "2009-02-13T23:31:30Z"},
        {2147483647, "2038-01-19 03:14:07", "2038-01-19T03:14:07Z"},
        {-2147483647 - 1, "1901-12-13 20:45:52", "1901-12-13T20:45:52Z"},
        {-86400, "1969-12-31 00:00:00", "1969-12-31T00:00:00Z"},
        {-86401, "1969-12-30 23:59:59", "1969-12-30T23:59:59Z"},
        {-58060800, "1968-02-29 00:00:00", "1968-02-29T00:00:00Z"},
        {-315619200, "1960-01-01 00:00:00", "1960-01-01T00:00:00Z"},
        {951782400, "2000-02-29 00:00:00", "2000-02-29T00:00:00Z"},
        {86399, "1970-01-01 23:59:59", "1970-01-01T23:59:59Z"},
    };
    return cases;
}

// Name of case i's file: "t00", "t01", ...
std::string time_case_name(size_t i);

// A one-member datastore at image (start sector 2048) with, per case i, the
// file /times/<name> created, updated and accessed at that time, and a
// deleted file with the same times (found by the scan in table order).
void build_time_table(const std::string& image);

} // namespace dstest
