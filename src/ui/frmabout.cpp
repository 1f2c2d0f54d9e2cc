#include "ui/frmabout.h"

#include "ui/artwork.h"

#include <QFrame>
#include <QLabel>

namespace ds {

Tfrmabout::Tfrmabout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmabout"));
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    move(198, 237);
    resize(480, 378);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, 480, 49);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    auto* name = new QLabel(QStringLiteral("DATUMSIFT1.0 — VMFS-3 datastore recovery (read-only)"), Panel1);
    name->setGeometry(12, 0, 456, 49);
    name->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(8, 64, 457, 265);
    Image1->setPixmap(ui::banner_picture(QSize(457, 265)));

    FormCreate();
}

void Tfrmabout::FormCreate() { setWindowTitle(QStringLiteral("关于")); }

} // namespace ds
