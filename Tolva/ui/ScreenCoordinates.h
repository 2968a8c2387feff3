// Between Qt's y-down desktop coordinates and the core's y-up ones (origin at the bottom left of
// the primary display): y_core = primaryHeight − (y + height).
#pragma once

#include "TolvaCore/Geometry.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>

#include <cmath>

namespace tolva::ScreenCoordinates {

inline double primaryHeight() {
    const QScreen* primary = QGuiApplication::primaryScreen();
    return primary ? primary->geometry().height() : 0;
}

inline Rect toCore(const QRect& r, double primaryHeight) {
    return {double(r.x()), primaryHeight - (r.y() + r.height()), double(r.width()), double(r.height())};
}

inline QRect toQt(const Rect& r, double primaryHeight) {
    return QRect(int(std::lround(r.x)), int(std::lround(primaryHeight - (r.y + r.height))),
                 int(std::lround(r.width)), int(std::lround(r.height)));
}

} // namespace tolva::ScreenCoordinates
