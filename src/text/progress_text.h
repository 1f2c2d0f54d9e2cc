#pragma once
// How far a copy or a scan has got, as text: the command line's progress bar
// and the window's status line both say it through here, so sizes, rates
// and times left read alike in both.

#include <cstdint>
#include <string>

namespace ds {

// "512 B", "3.00 MiB": binary units, two decimals once past bytes. Takes a
// double so that a rate (bytes per second) reads the same way; below zero
// reads as 0 B.
std::string size_text(double bytes);

// "0:07", "1:02:03"; "--:--" when unknown (negative, not a number) or beyond
// 100 hours, where an estimate says nothing.
std::string clock_text(double seconds);

// Seconds left at the pace so far, or -1 while the pace is not known (no
// time or no bytes behind it). Done past the total counts as finished.
double seconds_left(int64_t done, int64_t total, double elapsed);

// Decimal megabytes (10^6 bytes) a second with one decimal, "12.3": bytes
// over elapsed seconds, which must be above zero.
std::string mb_per_second(double bytes, double elapsed);

} // namespace ds
