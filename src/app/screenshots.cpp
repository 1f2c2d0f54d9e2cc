// Renders the windows to PNG files for the documentation: the main window
// as it opens, with its File menu open, after a browse (its tree's details
// columns, and in English), during an export, made larger, after each scan,
// the disk settings window and the About window. Runs offscreen; the images are
// built beforehand by mkdatastore.
//
//   datumsift-screenshots OUT_DIR DEMO_IMAGE FORMATTED_IMAGE

#include "ui/artwork.h"
#include "ui/about_dialog.h"
#include "ui/disk_settings_dialog.h"
#include "ui/datastore_window.h"
#include "ui/language.h"
#include "vmfs/datastore.h"
#include "ui/prompts.h"
#include "text/messages.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QAbstractItemModel>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Every box is answered at once; what it said is printed. A save dialog
// answers save_to once.
class SilentPrompts final : public ds::ui::Prompts {
public:
    QString save_to;
    void message(QWidget*, const QString& text) override { std::printf("  message: %s\n", qPrintable(text)); }
    bool confirm(QWidget*, const QString&) override { return !save_to.isEmpty(); }
    QString input(QWidget*, const QString&, const QString&, const QString& def) override { return def; }
    QString open_file(QWidget*, const QString&) override { return {}; }
    QString save_file(QWidget*) override { return std::exchange(save_to, QString()); }
};

bool save(QWidget& w, const QString& path) {
    w.show();
    QApplication::processEvents();
    bool ok = w.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

// A menu is a window of its own: it is painted over the window it drops
// from, where it stands on the screen.
bool save_with_menu(QWidget& w, QMenuBar& bar, QMenu& menu, const QString& path) {
    w.show();
    QApplication::processEvents();
    bar.setActiveAction(menu.menuAction());
    QApplication::processEvents();
    QPixmap picture = w.grab();
    bool ok = menu.isVisible();
    if (ok) {
        QPainter painter(&picture);
        painter.drawPixmap(w.mapFromGlobal(menu.mapToGlobal(QPoint(0, 0))), menu.grab());
        painter.end();
        ok = picture.save(path);
    }
    menu.hide();
    bar.setActiveAction(nullptr);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

QModelIndex find(const QModelIndex& parent, const QString& text) {
    if (!parent.isValid()) return {};
    const QAbstractItemModel* m = parent.model();
    for (int i = 0; i < m->rowCount(parent); ++i)
        if (m->index(i, 0, parent).data().toString() == text) return m->index(i, 0, parent);
    return {};
}

// Lets the window's work run to its end.
void finish(ds::DatastoreWindow& w) {
    while (w.busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void open_node(ds::DatastoreWindow& w, const QModelIndex& node) {
    if (!node.isValid()) return;
    w.tree->setCurrentIndex(node);
    w.list_selected_folder();
    while (w.listing()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool add(ds::Datastore& store, const std::string& image) {
    store.clear_disks();
    const ds::AddDiskRefusal why = store.add_disk(image, 2048);
    if (why == ds::AddDiskRefusal::none) return true;
    std::fprintf(stderr, "%s: %s\n", image.c_str(), ds::add_disk_message(why));
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s OUT_DIR DEMO_IMAGE FORMATTED_IMAGE\n", argv[0]);
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ds::ui::install_font_substitutes();
    SilentPrompts prompts;
    ds::ui::set_prompts(&prompts);
    const QString out = QString::fromLocal8Bit(argv[1]) + "/";
    const std::string demo = argv[2];
    const std::string formatted = argv[3];
    bool ok = true;

    ds::DatastoreWindow w;
    // What a newcomer first sees, and where an image is opened.
    ok &= save(w, out + "main-first-screen.png");
    ok &= save_with_menu(w, *w.main_menu, *w.file_menu, out + "main-file-menu.png");
    if (!add(w.store, demo)) return 1;
    w.browse();
    const QModelIndex root = w.tree->model()->index(0, 0);
    open_node(w, root);
    if (root.isValid()) {
        open_node(w, find(root, "vm1"));
        open_node(w, find(root, "vm2"));
        w.tree->setCurrentIndex(find(find(root, "vm2"), "vm2-flat.vmdk"));
        // The info pane shows its descriptor once read on its thread.
        QElapsedTimer waited;
        waited.start();
        while (!w.info_text->toPlainText().contains("\nid: ") && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    ok &= save(w, out + "main-browse.png");
    // The tree alone: each node's size and time in columns beside its name.
    ok &= save(*w.tree, out + "main-details.png");
    // The same window in English, as --lang en or the language menu gives it.
    if (!ds::ui::use_language(QStringLiteral("en"))) {
        std::fprintf(stderr, "the English texts could not be loaded\n");
        return 1;
    }
    ok &= save(w, out + "main-english.png");
    ds::ui::use_language(QStringLiteral("zh"));

    // The 300 MiB disk on its way out: caught once the status line shows a
    // rate, then stopped.
    if (root.isValid()) {
        const QString host = QString::fromLocal8Bit(qgetenv("TMPDIR").isEmpty() ? "/tmp" : qgetenv("TMPDIR")) +
                             "/datumsift-screenshot-export.vmdk";
        prompts.save_to = host;
        w.save_tree_node();
        QElapsedTimer waited;
        waited.start();
        while (w.busy() && !w.status_line->text().contains("left") && waited.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ok &= save(w, out + "main-export.png");
        w.cancel_work();
        finish(w);
        QFile::remove(host);
    }

    // Made larger, the tree takes the room.
    w.resize(1400, 1000);
    ok &= save(w, out + "main-grown.png");
    w.resize(1003, 737);
    w.scan_deleted();
    finish(w);
    ok &= save(w, out + "main-deleted-files.png");
    w.scan_lost_disks();
    finish(w);
    ok &= save(w, out + "main-lost-vmdks.png");

    if (!add(w.store, formatted)) return 1;
    w.browse();
    w.scan_formatted();
    finish(w);
    if (const QModelIndex top = w.tree->model()->index(0, 0); top.isValid()) {
        w.tree->expand(top);
        for (int i = 0; i < w.tree->model()->rowCount(top); ++i) open_node(w, w.tree->model()->index(i, 0, top));
    }
    ok &= save(w, out + "main-format-recovery.png");

    // The demo image stands in for a drive, as the automatic detection sees it.
    w.store.clear_disks();
    ds::set_drive_lister([&] {
        ds::DriveInfo d;
        d.number = 0;
        d.name = "sda";
        d.device = demo;
        d.total_sectors = 1084416;
        return std::vector<ds::DriveInfo>{d};
    });
    {
        ds::DiskSettingsDialog frm(w.store);
        frm.detect();
        ok &= save(frm, out + "disk-settings.png");
    }
    {
        ds::AboutDialog about;
        ok &= save(about, out + "about.png");
    }
    ds::ui::set_prompts(nullptr);
    return ok ? 0 : 1;
}
