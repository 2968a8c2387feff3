// Idle time from mutter's idle monitor.
#include "platform/gnome/GnomeIdleTime.h"

#include "platform/dbus/DBusCall.h"

#include <optional>

namespace tolva {

namespace {

std::optional<quint64> idleMilliseconds(QDBusConnection& bus) {
    const QDBusMessage reply =
        dbus::call(bus, QStringLiteral("org.gnome.Mutter.IdleMonitor"),
                   QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
                   QStringLiteral("org.gnome.Mutter.IdleMonitor"), QStringLiteral("GetIdletime"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().first().toULongLong();
}

} // namespace

GnomeIdleTime::GnomeIdleTime(QDBusConnection bus) : bus_(std::move(bus)) {}

bool GnomeIdleTime::isAvailable() {
    return idleMilliseconds(bus_).has_value();
}

double GnomeIdleTime::secondsSinceLastInput() {
    return double(idleMilliseconds(bus_).value_or(0)) / 1000.0;
}

} // namespace tolva
