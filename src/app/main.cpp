// The desktop program: one main window until it is closed. Nothing is read
// from any disk until the operator asks for it.

#include "ui/artwork.h"
#include "ui/datastore_window.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("datumsift-gui"));
    // Ties the window to the installed desktop entry and its icon (the
    // taskbar of a Wayland session goes by this name).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.datumsift.DatumSift"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.datumsift.DatumSift")));
    ds::ui::install_font_substitutes();
    ds::DatastoreWindow window;
    window.show();
    // The window's datastore closes every device handle with the window.
    return QApplication::exec();
}
