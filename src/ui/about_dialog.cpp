#include "ui/about_dialog.h"

#include "ui/artwork.h"
#include "ui/language.h"
#include "export/provenance.h"

#include <QFrame>
#include <QLabel>

#include <libewf.h>
#include <openssl/crypto.h>

namespace ds {

QString about_version_text() {
    // What a report of a fault needs: the program, how it was built and the
    // libraries it runs with (Qt's as it runs, the others as linked).
    return QStringLiteral("datumsift %1\nbuild: %2, %3\nlibraries: Qt %4, %5, libewf %6")
        .arg(QString::fromUtf8(program_version()), QStringLiteral(DATUMSIFT_BUILD_TYPE),
             QStringLiteral(DATUMSIFT_COMPILER), QString::fromLatin1(qVersion()),
             QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION)), QString::fromLatin1(libewf_get_version()));
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("about_dialog"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    move(198, 237);
    resize(480, 378);

    title_panel = new QFrame(this);
    title_panel->setObjectName(QStringLiteral("title_panel"));
    title_panel->setGeometry(0, 0, 480, 49);
    title_panel->setFrameShape(QFrame::Panel);
    title_panel->setFrameShadow(QFrame::Raised);
    auto* name = new QLabel(QStringLiteral("DATUMSIFT1.0 — VMFS-3 datastore recovery (read-only)"), title_panel);
    name->setGeometry(12, 0, 456, 49);
    name->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);

    banner = new QLabel(this);
    banner->setObjectName(QStringLiteral("banner"));
    banner->setGeometry(8, 64, 457, 265);
    banner->setPixmap(ui::banner_picture(QSize(457, 265)));

    // Under the banner, selectable so that it can be pasted into a report.
    version = new QLabel(about_version_text(), this);
    version->setObjectName(QStringLiteral("version"));
    version->setGeometry(8, 332, 464, 44);
    version->setTextFormat(Qt::PlainText);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);

    set_title();
}

void AboutDialog::set_title() { setWindowTitle(ui::tx(QT_TRANSLATE_NOOP("DatumSift", "关于"))); }

} // namespace ds
