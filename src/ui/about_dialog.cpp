#include "ui/about_dialog.h"

#include "ui/artwork.h"

#include <QFrame>
#include <QLabel>

namespace ds {

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

    set_title();
}

void AboutDialog::set_title() { setWindowTitle(QStringLiteral("关于")); }

} // namespace ds
