// The desktop program: one main window until it is closed. Nothing is read
// from any disk until the operator asks for it.

#include "export/provenance.h"
#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "ui/language.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kHelp =
    "Usage: datumsift-gui [--help] [--version] [--lang en] [Qt options such as -platform NAME]\n"
    "\n"
    "The desktop window of DatumSift, read-only recovery for VMFS-3 datastores.\n"
    "Set the datastore's disks in the disk settings, then browse; nothing is ever\n"
    "written to the disks or images. The same work from a shell: datumsift --help.\n"
    "\n"
    "  -h,--help    Print this help and exit\n"
    "  --version    Print the version and exit\n"
    "  --lang en    Show the window in English (also chosen by LANGUAGE=en or the LANGUAGE menu)\n";

// Answered before any window exists, so that they work without a display.
// -1 when neither was asked for.
int answer_flags(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("datumsift-gui %s\n", ds::program_version());
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (int rc = answer_flags(argc, argv); rc >= 0) return rc;
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
