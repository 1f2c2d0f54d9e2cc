#include "ui/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace ds::ui {

QPixmap banner_picture(QSize size) {
    QPixmap pm(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor(18, 42, 74));
    sky.setColorAt(1, QColor(6, 16, 32));
    p.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), sky);

    // Drawn on one design canvas and scaled to fit, centred, so that the
    // picture keeps its proportions in both windows.
    const qreal w = 433;
    const qreal h = 193;
    const qreal scale = qMin(size.width() / w, size.height() / h);
    p.translate((size.width() - w * scale) / 2, (size.height() - h * scale) / 2);
    p.scale(scale, scale);

    // A drive platter, seen from above, with a sweep of recovered sectors.
    const qreal r = h * 0.38;
    const QPointF c(w * 0.22, h * 0.5);
    QRadialGradient platter(c, r);
    platter.setColorAt(0, QColor(210, 220, 232));
    platter.setColorAt(0.75, QColor(140, 156, 178));
    platter.setColorAt(1, QColor(88, 102, 124));
    p.setPen(QPen(QColor(40, 52, 70), 2));
    p.setBrush(platter);
    p.drawEllipse(c, r, r);
    p.setBrush(Qt::NoBrush);
    for (qreal k = 0.35; k < 1.0; k += 0.13) {
        p.setPen(QPen(QColor(255, 255, 255, 60), 1));
        p.drawEllipse(c, r * k, r * k);
    }
    QPainterPath sweep;
    sweep.moveTo(c);
    sweep.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 20, 70);
    sweep.closeSubpath();
    p.fillPath(sweep, QColor(255, 170, 40, 150));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 52, 70));
    p.drawEllipse(c, r * 0.12, r * 0.12);

    // The read head's arm.
    p.setPen(QPen(QColor(60, 66, 78), r * 0.08, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(c.x() + r * 1.05, c.y() + r * 0.95), QPointF(c.x() + r * 0.35, c.y() - r * 0.35));

    // Name and line.
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(qMax(12, int(h * 0.2)));
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(240, 244, 250));
    const QRectF text_box(w * 0.44, h * 0.18, w * 0.54, h * 0.34);
    p.drawText(text_box, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("DatumSift"));
    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(qMax(9, int(h * 0.075)));
    p.setFont(sub);
    p.setPen(QColor(255, 190, 90));
    p.drawText(QRectF(w * 0.44, h * 0.52, w * 0.54, h * 0.14), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("VMFS-3 datastore recovery"));
    p.setPen(QColor(170, 186, 208));
    p.drawText(QRectF(w * 0.44, h * 0.66, w * 0.54, h * 0.14), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("read-only, sector by sector"));
    p.end();
    return pm;
}

namespace {

QPixmap folder_image() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(QColor(240, 196, 80));
    QPainterPath tab;
    tab.moveTo(1.5, 4.5);
    tab.lineTo(1.5, 2.5);
    tab.lineTo(6.5, 2.5);
    tab.lineTo(8.0, 4.5);
    tab.closeSubpath();
    p.drawPath(tab);
    p.setBrush(QColor(252, 214, 100));
    p.drawRect(QRectF(1.5, 4.5, 13, 9));
    p.end();
    return pm;
}

QPixmap document_image() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath page;
    page.moveTo(3.5, 1.5);
    page.lineTo(9.5, 1.5);
    page.lineTo(12.5, 4.5);
    page.lineTo(12.5, 14.5);
    page.lineTo(3.5, 14.5);
    page.closeSubpath();
    p.setPen(QPen(QColor(90, 100, 120), 1));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.drawLine(QPointF(9.5, 1.5), QPointF(9.5, 4.5));
    p.drawLine(QPointF(9.5, 4.5), QPointF(12.5, 4.5));
    p.setPen(QPen(QColor(150, 160, 180), 1));
    for (int y = 7; y <= 12; y += 2) p.drawLine(QPointF(5, y + 0.5), QPointF(11, y + 0.5));
    p.end();
    return pm;
}

} // namespace

QList<QIcon> image_list() { return {QIcon(folder_image()), QIcon(document_image())}; }

void install_font_substitutes() {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("WenQuanYi Micro Hei")});
}

} // namespace ds::ui
