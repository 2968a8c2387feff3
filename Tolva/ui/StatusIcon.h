// The tray icon: two overlapping rounded squares, hatched while the overlay is on, with a dot
// for a warning and one for an available update. Monochrome.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>

namespace tolva::StatusIcon {

QImage image(bool masked, bool warning, bool update, QColor ink = Qt::black, int scale = 2);
QString accessibilityDescription(bool masked);

} // namespace tolva::StatusIcon
