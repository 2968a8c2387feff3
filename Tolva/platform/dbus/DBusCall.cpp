// Blocking D-Bus calls with a short timeout.
#include "platform/dbus/DBusCall.h"

#include <QDBusError>
#include <QDBusVariant>

namespace tolva::dbus {

QDBusMessage call(QDBusConnection& bus, const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, callTimeoutMs);
}

QVariant property(QDBusConnection& bus, const QString& service, const QString& path, const QString& interface,
                  const QString& name) {
    QDBusMessage reply = call(bus, service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                              QStringLiteral("Get"), {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    QVariant value = reply.arguments().first();
    if (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

bool isServiceMissing(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage)
        return false;
    switch (QDBusError(reply).type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
    case QDBusError::Timeout:
    case QDBusError::NoReply:
        return true;
    default:
        return false;
    }
}

int statusOf(const QDBusMessage& reply) {
    const int type = QDBusError(reply).type();
    return type != 0 ? type : -1;
}

} // namespace tolva::dbus
