// The desktop program: one main window until it is closed. Nothing is read
// from any disk until the operator asks for it.

#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "ui/language.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("datumsift-gui"));
    // Ties the window to the installed desktop entry and its icon (the
    // taskbar of a Wayland session goes by this name).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.datumsift.DatumSift"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.datumsift.DatumSift")));
    ds::ui::install_font_substitutes();
    // --lang en, or LANGUAGE=en...: the English texts; the Chinese ones
    // otherwise.
    const QString language = ds::ui::language_asked(QApplication::arguments(), qgetenv("LANGUAGE"));
    if (!language.isEmpty() && !ds::ui::use_language(language))
        std::fprintf(stderr, "datumsift-gui: the English texts could not be loaded\n");
    ds::DatastoreWindow window;
    window.show();
    // The window's datastore closes every device handle with the window.
    return QApplication::exec();
}
