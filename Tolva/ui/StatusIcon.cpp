// Drawing the tray icon.
#include "ui/StatusIcon.h"

#include "TolvaCore/L10n.h"

#include <QPainter>
#include <QPainterPath>

namespace tolva::StatusIcon {

QImage image(bool masked, bool warning, bool update, QColor ink, int scale) {
    QImage image(18 * scale, 18 * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale * 1.125, scale * 1.125); // a 16-unit drawing space
    QPen pen(ink, 1.25);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    QPainterPath front;
    front.addRoundedRect(QRectF(5.2, 5.2, 9, 9), 2.6, 2.6);
    QPainterPath frontInner;
    frontInner.addRoundedRect(QRectF(5.83, 5.83, 7.74, 7.74), 1.97, 1.97);
    // The back square is hidden where the front one covers it.
    QPainterPath everything;
    everything.addRect(QRectF(0, 0, 16, 16));
    p.save();
    p.setClipPath(everything.subtracted(frontInner));
    QPainterPath back;
    back.addRoundedRect(QRectF(1.8, 1.8, 9, 9), 2.6, 2.6);
    p.drawPath(back);
    p.restore();
    p.drawPath(front);
    if (masked) {
        p.save();
        QPainterPath triangle;
        triangle.moveTo(0, 0);
        triangle.lineTo(20, 0);
        triangle.lineTo(0, 20);
        triangle.closeSubpath();
        p.setClipPath(frontInner.intersected(triangle));
        p.setPen(QPen(ink, 1));
        p.drawLine(QPointF(-1.6, 16), QPointF(16, -1.6));
        p.drawLine(QPointF(2, 16), QPointF(16, 2));
        p.restore();
    }
    if (warning) {
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawEllipse(QRectF(11.2 - 0.9, 11.2 - 0.9, 4.2 + 1.8, 4.2 + 1.8));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setBrush(ink);
        p.drawEllipse(QRectF(11.2, 11.2, 4.2, 4.2));
    }
    if (update) {
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        p.drawEllipse(QRectF(12, 0.4, 3.6, 3.6));
    }
    return image;
}

QString accessibilityDescription(bool masked) {
    return masked ? QString::fromStdString(L10n::Menu::Accessibility::iconMasked()) : QStringLiteral("Tolva");
}

} // namespace tolva::StatusIcon
