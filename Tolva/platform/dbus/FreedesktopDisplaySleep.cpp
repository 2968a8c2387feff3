// ScreenSaver inhibit with an X11 fallback.
#include "platform/dbus/FreedesktopDisplaySleep.h"

#include "platform/dbus/DBusCall.h"
#include "platform/x11/XConnection.h"

#include <xcb/dpms.h>
#include <xcb/screensaver.h>

namespace tolva {

namespace {
const QString service = QStringLiteral("org.freedesktop.ScreenSaver");
const QString path = QStringLiteral("/org/freedesktop/ScreenSaver");
} // namespace

FreedesktopDisplaySleep::FreedesktopDisplaySleep(QDBusConnection sessionBus, std::shared_ptr<XConnection> x11)
    : bus_(std::move(sessionBus)), x11_(std::move(x11)) {}

std::int32_t FreedesktopDisplaySleep::create(std::uint32_t& id) {
    QDBusMessage reply = dbus::call(bus_, service, path, service, QStringLiteral("Inhibit"),
                                    {QStringLiteral("Tolva"), QStringLiteral("Tolva Screen overlay is on")});
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        bool ok = false;
        const std::uint32_t cookie = reply.arguments().first().toUInt(&ok);
        if (ok) {
            id = cookie;
            x11Held_ = false;
            mechanism_ = "screensaver-inhibit";
            return 0;
        }
    }
    if (!x11_)
        return dbus::statusOf(reply);
    xcb_connection_t* c = x11_->get();
    if (const auto* ext = xcb_get_extension_data(c, &xcb_screensaver_id); !ext || !ext->present)
        return dbus::statusOf(reply);
    xcb_screensaver_suspend(c, 1);
    if (const auto* dpms = xcb_get_extension_data(c, &xcb_dpms_id); dpms && dpms->present) {
        auto info = xreply(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
        dpmsWasEnabled_ = info && info->state;
        if (dpmsWasEnabled_)
            xcb_dpms_disable(c);
    }
    x11_->flush();
    id = 0;
    x11Held_ = true;
    mechanism_ = "x11";
    return 0;
}

void FreedesktopDisplaySleep::release(std::uint32_t id) {
    if (x11Held_ && x11_) {
        xcb_connection_t* c = x11_->get();
        xcb_screensaver_suspend(c, 0);
        if (dpmsWasEnabled_)
            xcb_dpms_enable(c);
        x11_->flush();
        x11Held_ = false;
    } else {
        dbus::call(bus_, service, path, service, QStringLiteral("UnInhibit"), {id});
    }
    mechanism_ = "none";
}

} // namespace tolva
