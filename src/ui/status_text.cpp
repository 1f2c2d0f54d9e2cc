#include "ui/status_text.h"

#include <cmath>

namespace ds::ui {

QString status_no_disks() { return QStringLiteral("FILE › DISKS SETTING to add the datastore's disks or images"); }

QString status_not_opened() {
    return QStringLiteral("浏览正常文件 to open the datastore, then double-click a folder to list it");
}

QString size_text(int64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double b = double(bytes < 0 ? 0 : bytes);
    int u = 0;
    while (b >= 1024.0 && u < 6) {
        b /= 1024.0;
        ++u;
    }
    return u == 0 ? QStringLiteral("%1 B").arg(bytes < 0 ? 0 : bytes)
                  : QStringLiteral("%1 %2").arg(b, 0, 'f', 2).arg(QLatin1String(units[u]));
}

QString clock_text(double seconds) {
    // Beyond 100 hours an estimate says nothing.
    if (!(seconds >= 0) || seconds > 359999) return QStringLiteral("--:--");
    const long s = std::lround(seconds);
    if (s >= 3600) return QStringLiteral("%1:%2:%3").arg(s / 3600).arg((s / 60) % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString status_export(const QString& name, int64_t done, int64_t total, double elapsed) {
    QString text = QStringLiteral("exporting %1: %2 of %3").arg(name, size_text(done), size_text(total));
    // A rate needs bytes and time behind it; before that nothing is guessed.
    if (elapsed > 0 && done > 0) {
        const double rate = double(done) / elapsed;
        text += QStringLiteral(", %1 MB/s").arg(rate / 1e6, 0, 'f', 1);
        if (total > done) text += QStringLiteral(", %1 left").arg(clock_text(double(total - done) / rate));
    }
    return text;
}

QString status_scan(const QString& name, int64_t rows, const QString& what) {
    return QStringLiteral("%1: %2 %3 found").arg(name).arg(rows).arg(what);
}

} // namespace ds::ui
