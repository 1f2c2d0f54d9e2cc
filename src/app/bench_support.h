#pragma once
// What the window's benchmarks share: prompts that never wait for an
// operator, and the process's own peak memory.

#include "ui/prompts.h"

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

// VmHWM: what /usr/bin/time reports would count a builder's child too.
inline std::string peak_memory() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return "unknown";
    char line[256];
    std::string out = "unknown";
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmHWM:", 6) == 0) out = std::string(line + 6, std::strcspn(line + 6, "\n"));
    std::fclose(f);
    const size_t first = out.find_first_not_of(" \t");
    return first == std::string::npos ? out : out.substr(first);
}

} // namespace dsbench
