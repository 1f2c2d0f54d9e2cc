#include "progress.h"

#include "text/progress_text.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace dscli {
namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

void write_stderr(const std::string& s) {
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;   // a progress display is not worth an error
        p += n;
        left -= static_cast<size_t>(n);
    }
}

} // namespace

std::string progress_text(ProgressBar::Unit unit, int64_t done, int64_t total, double elapsed, int64_t read) {
    double frac = total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 1.0;
    int fill = static_cast<int>(frac * kBarWidth);
    std::string bar = "[" + std::string(static_cast<size_t>(fill), '#') +
                      std::string(static_cast<size_t>(kBarWidth - fill), '-') + "]";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(frac * 100.0));
    std::string text = bar + " " + pct;
    if (unit == ProgressBar::Unit::bytes) {
        text += "  " + ds::size_text(static_cast<double>(done)) + " / " + ds::size_text(static_cast<double>(total));
        if (elapsed > 0) text += "  " + ds::size_text(static_cast<double>(read >= 0 ? read : done) / elapsed) + "/s";
    } else {
        text += "  " + ds::clock_text(elapsed) + " elapsed";
    }
    text += "  " + ds::clock_text(ds::seconds_left(done, total, elapsed)) + " left";
    return text;
}

std::string summary_text(int64_t bytes, double elapsed, int64_t read) {
    char buf[96];
    const std::string holes =
        read >= 0 && read < bytes ? " (" + std::to_string(read) + " bytes read, the rest holes)" : "";
    if (elapsed <= 0) {
        std::snprintf(buf, sizeof buf, "%lld bytes in 0.00 s", static_cast<long long>(bytes));
        return buf + holes;
    }
    std::snprintf(buf, sizeof buf, "%lld bytes in %.2f s, ", static_cast<long long>(bytes), elapsed);
    return buf + ds::size_text(static_cast<double>(read >= 0 ? read : bytes) / elapsed) + "/s" + holes;
}

ProgressBar::ProgressBar(bool quiet, Unit unit, int64_t total)
    : enabled_(!quiet && ::isatty(STDERR_FILENO) == 1),
      unit_(unit),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(int64_t done, int64_t read) {
    if (!enabled_) return;
    done_ = done;
    read_ = read;
    updated_ = true;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total_ && now - last_draw_ < kRedrawEvery) return;
    last_draw_ = now;
    draw(done);
}

void ProgressBar::draw(int64_t done) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    write_stderr("\r" + progress_text(unit_, done, total_, elapsed, read_) + "\033[K");
    drawn_ = true;
}

void ProgressBar::finish(bool summary) {
    if (!enabled_ || finished_) return;
    finished_ = true;
    if (unit_ == Unit::bytes && updated_ && summary) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        write_stderr("\r" + summary_text(done_, elapsed, read_) + "\033[K\n");
    } else if (drawn_) {
        write_stderr("\r\033[K");
    }
    drawn_ = false;
}

} // namespace dscli
