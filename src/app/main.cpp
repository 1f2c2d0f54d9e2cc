// The desktop program: one main window until it is closed. Nothing is read
// from any disk until the operator asks for it.

#include "ui/artwork.h"
#include "ui/datastore_window.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("datumsift-gui"));
    ds::ui::install_font_substitutes();
    ds::DatastoreWindow window;
    window.show();
    // The window's datastore closes every device handle with the window.
    return QApplication::exec();
}
