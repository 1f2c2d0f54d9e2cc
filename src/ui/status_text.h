#pragma once
// What the status line under the gauge says: what runs and how far it got,
// or, before anything was opened, where to begin.

#include <QString>

#include <cstdint>

namespace ds::ui {

// Before the first browse: where a first-time user begins.
QString status_no_disks();
QString status_not_opened();

// A copy: "exporting NAME: DONE of TOTAL, 2.00 MiB/s, CLOCK left" once the
// rate is known; sizes and rate in the binary units of every other size.
// With read (at least 0) the rate counts the bytes read from the volume, not
// a thin file's holes, which are written without a read.
QString status_export(const QString& name, int64_t done, int64_t total, double elapsed_seconds, int64_t read = -1);
// A copy that ended whole: "exported NAME: SIZE in CLOCK, RATE/s", the rate
// over the bytes read when read is at least 0, and then how many were read
// when holes make up the rest.
QString status_exported(const QString& name, int64_t written, double elapsed_seconds, int64_t read = -1);
// A scan: "NAME: N rows found" (found directories for the format recovery).
QString status_scan(const QString& name, int64_t rows, const QString& what = QStringLiteral("rows"));
// A scan's status once a click in the tree was ignored: the tree waits for
// the scan, which fills or covers it.
QString status_browse_waits(const QString& status);

// Why a scan stopped or a folder lists only part of its entries: the window
// holds at most limit rows and nodes, and the command line lists them all.
QString shown_limit_message(int64_t limit);

} // namespace ds::ui
