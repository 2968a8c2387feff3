// Screens, RandR monitor identifiers and the coordinate conversion.
#include "overlay/Displays.h"

#include "platform/x11/XConnection.h"

#include <QGuiApplication>
#include <QScreen>

#include <xcb/randr.h>

#include <algorithm>
#include <map>

namespace tolva {

namespace {

struct Monitor {
    QString name;
    QRect pixels; // in the server's pixels
    bool primary = false;
    std::uint32_t id = 0;
};

// The server's monitors as they are now. A monitor's identifier is its first output, or its
// name atom when it has none. Atom names never change, so each is asked for once.
std::vector<Monitor> serverMonitors(XConnection& x, std::map<std::uint32_t, QString>& atomNames) {
    std::vector<Monitor> monitors;
    xcb_connection_t* c = x.get();
    if (const auto* ext = xcb_get_extension_data(c, &xcb_randr_id); !ext || !ext->present)
        return monitors;
    auto reply = xreply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
    if (!reply)
        return monitors;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        auto known = atomNames.find(it.data->name);
        if (known == atomNames.end()) {
            auto name = xreply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, it.data->name), nullptr));
            if (!name)
                continue;
            known = atomNames
                        .emplace(it.data->name, QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                                                    xcb_get_atom_name_name_length(name.get())))
                        .first;
        }
        const int outputs = xcb_randr_monitor_info_outputs_length(it.data);
        monitors.push_back({known->second, QRect(it.data->x, it.data->y, it.data->width, it.data->height),
                            bool(it.data->primary),
                            outputs > 0 ? xcb_randr_monitor_info_outputs(it.data)[0] : it.data->name});
    }
    return monitors;
}

} // namespace

std::vector<DisplayInfo> QtDisplaySource::displays() {
    std::vector<DisplayInfo> list;
    const QList<QScreen*> screens = QGuiApplication::screens();
    // The server's own monitor list comes first: while monitors change in several steps, Qt's
    // screens may lag behind for a while or keep a step that is already over, and a display
    // left out of the list would go uncovered.
    const std::vector<Monitor> monitors = x11_ ? serverMonitors(*x11_, atomNames_) : std::vector<Monitor>();
    if (!monitors.empty()) {
        const qreal fallbackRatio = qApp ? qApp->devicePixelRatio() : 1.0;
        for (const Monitor& monitor : monitors) {
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
    // Without RandR: Qt's screens. Without a primary output Qt may name no primary screen: the
    // one at the origin is it then.
    QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        primary = QGuiApplication::screenAt(QPoint(0, 0));
    for (QScreen* screen : screens) {
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
