#pragma once
// What the parts of the datastore window share: the texts it shows in more
// than one place and how a node or a row becomes an item. Only the window's
// own files include it.

#include "ui/datastore_window.h"
#include "ui/artwork.h"
#include "ui/about_dialog.h"
#include "ui/dir_tree_model.h"
#include "ui/deleted_row_text.h"
#include "ui/disk_settings_dialog.h"
#include "ui/language.h"
#include "ui/listing.h"
#include "ui/node_stat.h"
#include "ui/prompts.h"
#include "ui/scan_rows_model.h"
#include "ui/status_text.h"
#include "ui/tree_node.h"
#include "ui/window_provenance.h"
#include "ui/work.h"
#include "export/file_export.h"
#include "export/folder_export.h"
#include "export/rescue_map.h"
#include "text/rebuilt_text.h"
#include "vmfs/datastore.h"
#include "text/info_text.h"
#include "text/messages.h"
#include "text/row_text.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QTimer>
#include <QItemSelectionModel>
#include <QTreeView>

#include <algorithm>
#include <ctime>

#include <sys/stat.h>

// Rows travel from the worker thread to the window inside QVariants.
Q_DECLARE_METATYPE(ds::FileRow)
Q_DECLARE_METATYPE(ds::PartitionRow)
Q_DECLARE_METATYPE(ds::FoundDir)

namespace ds::ui {

inline const QString kTitle = QStringLiteral("DATUMSIFT1.0");
// Made when shown: the language may change while the program runs.
inline QString tree_hint() { return tx(QT_TRANSLATE_NOOP("DatumSift", "双击展开目录")); }
// Asked once of an export or a scan that met a sector it cannot read.
inline QString rescue_question() {
    return QStringLiteral("a sector could not be read|keep going with zeros in place of unreadable sectors?");
}
inline const QString kAllDirFound = QStringLiteral("ALL DIR FOUND");

inline QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace ds::ui
