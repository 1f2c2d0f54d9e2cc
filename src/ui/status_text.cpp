#include "ui/status_text.h"

#include "ui/language.h"
#include "text/progress_text.h"

namespace ds::ui {

QString status_no_disks() { return QStringLiteral("FILE › DISKS SETTING to add the datastore's disks or images"); }

QString status_not_opened() {
    return tx(QT_TRANSLATE_NOOP("DatumSift", "浏览正常文件 to open the datastore, then double-click a folder to list it"));
}

QString status_export(const QString& name, int64_t done, int64_t total, double elapsed, int64_t read) {
    QString text = QStringLiteral("exporting %1: %2 of %3")
                       .arg(name, QString::fromStdString(size_text(double(done))),
                            QString::fromStdString(size_text(double(total))));
    // A rate needs bytes and time behind it; before that nothing is guessed.
    if (elapsed > 0 && done > 0) {
        text += QStringLiteral(", %1/s").arg(QString::fromStdString(size_text(double(read >= 0 ? read : done) / elapsed)));
        if (total > done)
            text += QStringLiteral(", %1 left").arg(QString::fromStdString(clock_text(seconds_left(done, total, elapsed))));
    }
    return text;
}

QString status_exported(const QString& name, int64_t written, double elapsed, int64_t read) {
    QString text = QStringLiteral("exported %1: %2 in %3")
                       .arg(name, QString::fromStdString(size_text(double(written))),
                            QString::fromStdString(clock_text(elapsed)));
    const int64_t counted = read >= 0 ? read : written;
    if (elapsed > 0) text += QStringLiteral(", %1/s").arg(QString::fromStdString(size_text(double(counted) / elapsed)));
    if (read >= 0 && read < written) text += QStringLiteral(" (%1 bytes read, the rest holes)").arg(read);
    return text;
}

QString status_scan(const QString& name, int64_t rows, const QString& what) {
    return QStringLiteral("%1: %2 %3 found").arg(name).arg(rows).arg(what);
}

QString status_browse_waits(const QString& status) {
    return status + QStringLiteral("; browsing waits until the scan ends (Esc stops it)");
}

QString shown_limit_message(int64_t limit) {
    return QStringLiteral("the window shows at most ") + QString::number(limit) +
           QStringLiteral(" rows and folder entries; the rest are not shown (the command line lists them all)");
}

} // namespace ds::ui
