#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace dscli {
namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string human_bytes(double b) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int u = 0;
    while (b >= 1024.0 && u < 5) {
        b /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.2f %s", b, units[u]);
    return buf;
}

std::string clock_text(double seconds) {
    if (!(seconds >= 0) || seconds > 359999) return "--:--";
    auto s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

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

std::string progress_text(ProgressBar::Unit unit, int64_t done, int64_t total, double elapsed) {
    double frac = total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 1.0;
    int fill = static_cast<int>(frac * kBarWidth);
    std::string bar = "[" + std::string(static_cast<size_t>(fill), '#') +
                      std::string(static_cast<size_t>(kBarWidth - fill), '-') + "]";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(frac * 100.0));
    std::string text = bar + " " + pct;
    double left = (frac > 0 && elapsed > 0) ? elapsed * (1.0 - frac) / frac : -1;
    if (unit == ProgressBar::Unit::bytes) {
        text += "  " + human_bytes(static_cast<double>(done)) + " / " + human_bytes(static_cast<double>(total));
        if (elapsed > 0) text += "  " + human_bytes(static_cast<double>(done) / elapsed) + "/s";
    } else {
        text += "  " + clock_text(elapsed) + " elapsed";
    }
    text += "  " + clock_text(left) + " left";
    return text;
}

std::string summary_text(int64_t bytes, double elapsed) {
    char buf[96];
    if (elapsed > 0)
        std::snprintf(buf, sizeof buf, "%lld bytes in %.2f s, %.1f MB/s", static_cast<long long>(bytes), elapsed,
                      static_cast<double>(bytes) / elapsed / 1e6);
    else
        std::snprintf(buf, sizeof buf, "%lld bytes in 0.00 s", static_cast<long long>(bytes));
    return buf;
}

ProgressBar::ProgressBar(bool quiet, Unit unit, int64_t total)
    : enabled_(!quiet && ::isatty(STDERR_FILENO) == 1),
      unit_(unit),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(int64_t done) {
    if (!enabled_) return;
    done_ = done;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total_ && now - last_draw_ < kRedrawEvery) return;
    last_draw_ = now;
    draw(done);
}

void ProgressBar::draw(int64_t done) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    write_stderr("\r" + progress_text(unit_, done, total_, elapsed) + "\033[K");
    drawn_ = true;
}

void ProgressBar::finish() {
    if (!enabled_ || finished_) return;
    finished_ = true;
    if (unit_ == Unit::bytes) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        write_stderr("\r" + summary_text(done_, elapsed) + "\033[K\n");
    } else if (drawn_) {
        write_stderr("\r\033[K");
    }
    drawn_ = false;
}

} // namespace dscli
