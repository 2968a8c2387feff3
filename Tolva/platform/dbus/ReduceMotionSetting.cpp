// Reading and following the portal's enable-animations setting.
#include "platform/dbus/ReduceMotionSetting.h"

#include "platform/dbus/DBusCall.h"

#include <QDBusVariant>

namespace tolva {

namespace {
const QString portal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settings = QStringLiteral("org.freedesktop.portal.Settings");
const QString group = QStringLiteral("org.gnome.desktop.interface");
const QString key = QStringLiteral("enable-animations");

QVariant unwrap(QVariant value) {
    // The portal nests the value in one or two variants depending on its version.
    while (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}
} // namespace

ReduceMotionSetting::ReduceMotionSetting(QDBusConnection sessionBus) : bus_(std::move(sessionBus)) {}

bool ReduceMotionSetting::reduceMotion() {
    if (!bus_.isConnected())
        return false;
    QDBusMessage reply = dbus::call(bus_, portal, path, settings, QStringLiteral("Read"), {group, key});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const QVariant value = unwrap(reply.arguments().first());
    return value.typeId() == QMetaType::Bool && !value.toBool();
}

void ReduceMotionSetting::watch() {
    bus_.connect(portal, path, settings, QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QString, QString, QDBusVariant)));
}

void ReduceMotionSetting::settingChanged(const QString& changedGroup, const QString& changedKey,
                                         const QDBusVariant& value) {
    if (changedGroup != group || changedKey != key || !onChanged)
        return;
    const QVariant v = unwrap(value.variant());
    onChanged(v.typeId() == QMetaType::Bool && !v.toBool());
}

} // namespace tolva
