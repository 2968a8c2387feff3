// The X server's RandR monitors.
#include "platform/x11/X11DisplaySource.h"

#include "platform/x11/XConnection.h"

#include <xcb/randr.h>

namespace tolva {

namespace {

// The server's monitors as they are now. A monitor's identifier is its first output, or its
// name atom when it has none. Atom names never change, so each is asked for once.
std::vector<ServerMonitor> serverMonitors(XConnection& x, std::map<std::uint32_t, QString>& atomNames) {
    std::vector<ServerMonitor> monitors;
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
            known =
                atomNames
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

std::vector<DisplayInfo> X11DisplaySource::displays() {
    if (x11_)
        if (auto list = displaysOfMonitors(serverMonitors(*x11_, atomNames_)); !list.empty())
            return list;
    return QtDisplaySource::displays(); // without RandR
}

} // namespace tolva
