// Screens, RandR monitor identifiers and the coordinate conversion.
#include "overlay/Displays.h"

#include "platform/x11/XConnection.h"

#include <QGuiApplication>
#include <QScreen>

#include <xcb/randr.h>

#include <map>

namespace tolva {

namespace {

// Monitor name → identifier: the monitor's first output, or its name atom when it has none.
std::map<QString, std::uint32_t> monitorIds(XConnection& x) {
    std::map<QString, std::uint32_t> ids;
    xcb_connection_t* c = x.get();
    if (const auto* ext = xcb_get_extension_data(c, &xcb_randr_id); !ext || !ext->present)
        return ids;
    auto reply = xreply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
    if (!reply)
        return ids;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        auto name = xreply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, it.data->name), nullptr));
        if (!name)
            continue;
        const QString text = QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                                 xcb_get_atom_name_name_length(name.get()));
        const int outputs = xcb_randr_monitor_info_outputs_length(it.data);
        ids[text] = outputs > 0 ? xcb_randr_monitor_info_outputs(it.data)[0] : it.data->name;
    }
    return ids;
}

} // namespace

std::vector<DisplayInfo> QtDisplaySource::displays() {
    std::vector<DisplayInfo> list;
    // The server is asked for the monitors' ids only when Qt's screens have changed: a lock
    // asks for the displays several times, and never needs the round trips.
    QString signature;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        signature += screen->name() + QStringLiteral("@%1,%2,%3,%4;").arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height());
    }
    if (x11_ && signature != idsSignature_) {
        ids_ = monitorIds(*x11_);
        idsSignature_ = signature;
    }
    const auto& ids = ids_;
    // Without a primary output Qt may name no primary screen: the one at the origin is it then.
    QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        primary = QGuiApplication::screenAt(QPoint(0, 0));
    for (QScreen* screen : QGuiApplication::screens()) {
        DisplayInfo d;
        d.screen = screen;
        d.geometry = screen->geometry();
        d.primary = screen == primary;
        if (auto it = ids.find(screen->name()); it != ids.end())
            d.id = it->second;
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
