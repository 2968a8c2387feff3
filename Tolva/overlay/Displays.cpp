// Screens, the display server's monitors and the coordinate conversion.
#include "overlay/Displays.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace tolva {

std::vector<DisplayInfo> displaysOfMonitors(const std::vector<ServerMonitor>& monitors) {
    std::vector<DisplayInfo> list;
    if (monitors.empty())
        return list;
    const QList<QScreen*> screens = QGuiApplication::screens();
    const qreal fallbackRatio = qApp ? qApp->devicePixelRatio() : 1.0;
    for (const ServerMonitor& monitor : monitors) {
        DisplayInfo d;
        for (QScreen* screen : screens)
            if (screen->name() == monitor.name)
                d.screen = screen;
        const qreal ratio = d.screen ? d.screen->devicePixelRatio() : fallbackRatio;
        const QRect& p = monitor.pixels;
        d.geometry = QRect(qRound(p.x() / ratio), qRound(p.y() / ratio), qRound(p.width() / ratio),
                           qRound(p.height() / ratio));
        d.primary = monitor.primary;
        d.id = monitor.id;
        list.push_back(d);
    }
    // Without a primary monitor the one at the origin is it.
    if (std::none_of(list.begin(), list.end(), [](const DisplayInfo& d) { return d.primary; })) {
        auto origin = std::find_if(list.begin(), list.end(),
                                   [](const DisplayInfo& d) { return d.geometry.topLeft() == QPoint(0, 0); });
        (origin != list.end() ? *origin : list.front()).primary = true;
    }
    return list;
}

std::vector<DisplayInfo> QtDisplaySource::displays() {
    // Without a primary output Qt may name no primary screen: the one at the origin is it then.
    std::vector<DisplayInfo> list;
    QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        primary = QGuiApplication::screenAt(QPoint(0, 0));
    for (QScreen* screen : QGuiApplication::screens()) {
        DisplayInfo d;
        d.screen = screen;
        d.geometry = screen->geometry();
        d.primary = screen == primary;
        list.push_back(d);
    }
    return list;
}

DisplayLayout layoutOf(const std::vector<DisplayInfo>& displays) {
    double primaryHeight = 0;
    for (const auto& d : displays)
        if (d.primary)
            primaryHeight = d.geometry.height();
    if (primaryHeight == 0 && !displays.empty())
        primaryHeight = displays.front().geometry.height();
    std::vector<DisplayLayout::Entry> entries;
    for (const auto& d : displays)
        entries.push_back(
            {d.id, Rect{double(d.geometry.x()), primaryHeight - (d.geometry.y() + d.geometry.height()),
                        double(d.geometry.width()), double(d.geometry.height())}});
    return DisplayLayout(std::move(entries));
}

} // namespace tolva
