// Reading and following the portal's enable-animations setting.
#include "platform/dbus/ReduceMotionSetting.h"

#include "platform/dbus/DBusCall.h"
#include "platform/dbus/PortalSettings.h"

#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace tolva {

namespace {
using portalSettings::unwrap;
const QString& portal = portalSettings::service;
const QString& path = portalSettings::path;
const QString& settings = portalSettings::interface;
const QString& group = portalSettings::desktopInterface;
const QString key = QStringLiteral("enable-animations");
} // namespace

ReduceMotionSetting::ReduceMotionSetting(QDBusConnection sessionBus) : bus_(std::move(sessionBus)) {}

bool ReduceMotionSetting::reducesMotion(const QVariant& enableAnimations) {
    const QVariant value = unwrap(enableAnimations);
    return value.typeId() == QMetaType::Bool && !value.toBool();
}

void ReduceMotionSetting::follow() {
    if (!bus_.isConnected())
        return;
    bus_.connect(portal, path, settings, QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(portal, path, settings, QStringLiteral("Read"));
    read << group << key;
    // Generous: the bus may have to start the portal first. Nothing waits for the answer.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(read, dbus::callTimeoutMs * 5), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return; // no portal, or none with this setting: the effects may run
        set(reducesMotion(reply.arguments().first()));
    });
}

void ReduceMotionSetting::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 3 || arguments[0].toString() != group || arguments[1].toString() != key)
        return;
    set(reducesMotion(arguments[2]));
}

void ReduceMotionSetting::set(bool reduce) {
    if (reduce == reduce_)
        return;
    reduce_ = reduce;
    if (onChanged)
        onChanged(reduce);
}

} // namespace tolva
