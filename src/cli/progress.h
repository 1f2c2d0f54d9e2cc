#pragma once
// A one-line progress bar on stderr: percentage, amount done, rate and time
// left. It draws only when stderr is a terminal and -q was not given, so
// scripts and pipes never see it; stdout is never touched.

#include <chrono>
#include <cstdint>
#include <string>

namespace dscli {

class ProgressBar {
public:
    enum class Unit { bytes, percent };

    // total is the byte count (bytes) or 100 (percent, the scans' gauge).
    ProgressBar(bool quiet, Unit unit, int64_t total);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(int64_t done);
    // Replaces the bar: by a summary line that stays (bytes, seconds, MB/s)
    // for a copy, by nothing for a scan. Once; the destructor calls it too.
    void finish();

private:
    void draw(int64_t done);

    bool enabled_;
    Unit unit_;
    int64_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    bool drawn_ = false;
    bool finished_ = false;
    int64_t done_ = 0;
};

// The bar's text for done of total after elapsed seconds (no carriage return).
std::string progress_text(ProgressBar::Unit unit, int64_t done, int64_t total, double elapsed);
// The line a copy leaves: "<bytes> bytes in <s> s, <rate> MB/s" (MB = 10^6 bytes).
std::string summary_text(int64_t bytes, double elapsed);

} // namespace dscli
