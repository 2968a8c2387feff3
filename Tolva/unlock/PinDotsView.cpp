// Dot sizes, spacing and drawing.
#include "unlock/PinDotsView.h"

#include <QPainter>

#include <algorithm>

namespace tolva {

PinDotsView::Geometry PinDotsView::layout(std::int64_t filled, std::int64_t total, double width,
                                          double height) {
    Geometry g;
    std::int64_t n = std::max(total, filled);
    if (n < 1)
        return g;
    n = std::min<std::int64_t>(n, 16);
    g.count = static_cast<int>(n);
    g.diameter = n <= 8 ? 9 : (n <= 12 ? 7 : 5);
    const double gap = 0.9 * g.diameter;
    const double rowWidth = n * g.diameter + (n - 1) * gap;
    const double first = width / 2 - rowWidth / 2;
    for (int i = 0; i < g.count; ++i)
        g.x.push_back(first + i * (g.diameter + gap));
    g.y = (height - g.diameter) / 2;
    return g;
}

PinDotsView::PinDotsView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void PinDotsView::setState(std::int64_t filled, std::int64_t total, bool enabled) {
    if (filled == filled_ && total == total_ && enabled == enabled_)
        return;
    filled_ = filled;
    total_ = total;
    enabled_ = enabled;
    update();
}

void PinDotsView::paintEvent(QPaintEvent*) {
    const Geometry g = layout(filled_, total_, width(), height());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor base = palette().color(QPalette::WindowText);
    base.setAlphaF(enabled_ ? 1.0 : 0.35);
    QColor outline = base;
    outline.setAlphaF(enabled_ ? 0.35 : 0.15);
    for (int i = 0; i < g.count; ++i) {
        const QRectF oval(g.x[i] + 0.5, g.y + 0.5, g.diameter - 1, g.diameter - 1);
        if (i < filled_) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(base);
        } else {
            painter.setPen(QPen(outline, 1));
            painter.setBrush(Qt::NoBrush);
        }
        painter.drawEllipse(oval);
    }
}

} // namespace tolva
