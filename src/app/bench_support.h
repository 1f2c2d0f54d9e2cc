#pragma once
// What the window's benchmarks share: an application whose prompts never
// wait for an operator, the scan list scrolled as an operator would, and
// the process's own memory.

#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "ui/prompts.h"
#include "ui/scan_rows_model.h"

#include <QApplication>
#include <QTreeView>

#include <cstdio>
#include <cstring>
#include <string>

namespace dsbench {

class SilentPrompts final : public ds::ui::Prompts {
public:
    QString last;
    void message(QWidget*, const QString& text) override { last = text; }
    bool confirm(QWidget*, const QString&) override { return false; }
    QString input(QWidget*, const QString&, const QString&, const QString& def) override { return def; }
    QString open_file(QWidget*, const QString&) override { return {}; }
    QString save_file(QWidget*) override { return {}; }
};

// The application a bench runs the window in, with its prompts silenced.
class BenchApp {
public:
    BenchApp() {
        ds::ui::install_font_substitutes();
        ds::ui::set_prompts(&prompts);
    }
    ~BenchApp() { ds::ui::set_prompts(nullptr); }
    BenchApp(const BenchApp&) = delete;
    BenchApp& operator=(const BenchApp&) = delete;

private:
    int argc_ = 1;
    char name_[32] = "datumsift-window-bench";
    char* argv_[2] = {name_, nullptr};
    QApplication app_{argc_, argv_};

public:
    SilentPrompts prompts;
};

// To the scan list's last row as an operator gets there: the view at its
// end asks for the next page, again and again. Returns how many times.
inline int scroll_scan_list_to_end(ds::DatastoreWindow& w) {
    int asks = 0;
    while (w.scan_rows->canFetchMore({})) {
        w.scan_list->scrollToBottom();
        QCoreApplication::processEvents();
        ++asks;
    }
    w.scan_list->scrollToBottom();
    QCoreApplication::processEvents();
    return asks;
}

// A field of /proc/self/status ("VmHWM:", "VmRSS:"), as the kernel prints it.
inline std::string status_field(const char* key) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return "unknown";
    char line[256];
    std::string out = "unknown";
    const size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, n) == 0) out = std::string(line + n, std::strcspn(line + n, "\n"));
    std::fclose(f);
    const size_t first = out.find_first_not_of(" \t");
    return first == std::string::npos ? out : out.substr(first);
}

// VmHWM: what /usr/bin/time reports would count a builder's child too.
inline std::string peak_memory() { return status_field("VmHWM:"); }
inline std::string current_memory() { return status_field("VmRSS:"); }

} // namespace dsbench
