// Reading and following the portal's clock-format setting.
#include "platform/dbus/DesktopClockFormat.h"

#include "platform/dbus/DBusCall.h"
#include "platform/dbus/PortalSettings.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace tolva {

namespace {
using portalSettings::unwrap;
const QString& portal = portalSettings::service;
const QString& path = portalSettings::path;
const QString& settings = portalSettings::interface;
const QString& group = portalSettings::desktopInterface;
const QString key = QStringLiteral("clock-format");
} // namespace

DesktopClockFormat::DesktopClockFormat(QDBusConnection sessionBus) : bus_(std::move(sessionBus)) {}

std::optional<TimeOfDay::HourCycle> DesktopClockFormat::fromSetting(const QVariant& value) {
    const QVariant plain = unwrap(value);
    if (plain.typeId() != QMetaType::QString)
        return std::nullopt;
    if (plain.toString() == QLatin1String("24h"))
        return TimeOfDay::HourCycle::twentyFour;
    if (plain.toString() == QLatin1String("12h"))
        return TimeOfDay::HourCycle::twelve;
    return std::nullopt;
}

void DesktopClockFormat::follow() {
    if (!bus_.isConnected())
        return;
    // The whole message: QtDBus does not hand a variant argument to a slot of a signal it matches.
    bus_.connect(portal, path, settings, QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(portal, path, settings, QStringLiteral("Read"));
    read << group << key;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(read, dbus::callTimeoutMs * 5), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty() || !onChanged)
            return;
        onChanged(fromSetting(reply.arguments().first()));
    });
}

void DesktopClockFormat::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 3 || arguments[0].toString() != group || arguments[1].toString() != key ||
        !onChanged)
        return;
    onChanged(fromSetting(arguments[2]));
}

} // namespace tolva
