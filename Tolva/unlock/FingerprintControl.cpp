// Drawing the fingerprint control: nested ridge arcs, tinted like the panel's other glyphs.
#include "unlock/FingerprintControl.h"

#include "TolvaCore/L10n.h"
#include "unlock/UnlockPanel.h"

#include <QPainter>
#include <QPainterPath>

namespace tolva {

FingerprintControl::FingerprintControl(UnlockPanel* panel) : QWidget(panel) {
    // Centred, as the card may be wider than its smallest size.
    setGeometry(frame.translated((panel->width() - panelWidthForFrame) / 2, 0));
    setAccessibleName(QString::fromStdString(L10n::Settings::Security::touchIDRow()));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    show();
}

void FingerprintControl::setRejected(bool rejected) {
    if (rejected == rejected_)
        return;
    rejected_ = rejected;
    update();
}

void FingerprintControl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto* panel = static_cast<const UnlockPanel*>(parentWidget());
    const bool dark = panel == nullptr || panel->isDarkAppearance();
    QColor ink = rejected_ ? (dark ? QColor(255, 69, 58) : QColor(255, 59, 48))
                           : (dark ? QColor(255, 255, 255) : QColor(0, 0, 0));
    if (!rejected_)
        ink.setAlphaF(0.7);
    p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap));
    const QPointF centre(16, 17);
    // Five ridges, each an oval open at the bottom (wider open further in), the way a fingertip
    // looks; angles in Qt's sixteenths of a degree, counter-clockwise from three o'clock.
    for (int ring = 0; ring < 5; ++ring) {
        const double r = 3.0 + ring * 2.8;
        const QRectF box(centre.x() - r, centre.y() - r * 1.15, 2 * r, 2 * r * 1.15);
        const int gap = 110 - ring * 14;
        p.drawArc(box, (270 + gap / 2) * 16, (360 - gap) * 16);
    }
    p.drawLine(centre + QPointF(0, -1), centre + QPointF(0, 4));
}

} // namespace tolva
