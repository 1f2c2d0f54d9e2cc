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

    // read: the bytes read from the disks so far, which the rate counts (a
    // thin file's holes are written, not read); -1 when all of done was read.
    void update(int64_t done, int64_t read = -1);
    // Replaces the bar: by a summary line that stays (bytes, seconds, rate)
    // for a copy unless summary is false, by nothing for a scan. Once; the
    // destructor calls it too.
    void finish(bool summary = true);

private:
    void draw(int64_t done);

    bool enabled_;
    Unit unit_;
    int64_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    bool drawn_ = false;
    bool finished_ = false;
    bool updated_ = false;   // a copy that never started leaves no summary
    int64_t done_ = 0;
    int64_t read_ = -1;
};

// The bar's text for done of total after elapsed seconds (no carriage return);
// the rate counts read bytes (-1: done).
std::string progress_text(ProgressBar::Unit unit, int64_t done, int64_t total, double elapsed, int64_t read = -1);
// The line a copy leaves: "<bytes> bytes in <s> s, 12.34 MiB/s", the rate in
// the binary units of every other size, counting the bytes read (-1: all of
// bytes); a thin file adds how many of its bytes were read.
std::string summary_text(int64_t bytes, double elapsed, int64_t read = -1);

} // namespace dscli
