#include "text/progress_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ds {

std::string size_text(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double b = bytes > 0 ? bytes : 0;
    int u = 0;
    while (b >= 1024.0 && u < 6) {
        b /= 1024.0;
        ++u;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.2f %s", b, units[u]);
    return buf;
}

std::string clock_text(double seconds) {
    if (!(seconds >= 0) || seconds > 359999) return "--:--";
    const long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

double seconds_left(int64_t done, int64_t total, double elapsed) {
    const double frac =
        total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 1.0;
    return frac > 0 && elapsed > 0 ? elapsed * (1.0 - frac) / frac : -1;
}

std::string mb_per_second(double bytes, double elapsed) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.1f", bytes / elapsed / 1e6);
    return buf;
}

} // namespace ds
