// Short blocking D-Bus calls: a desktop service that does not answer within a second is
// treated as absent rather than freezing the program.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>

namespace tolva::dbus {

inline constexpr int callTimeoutMs = 1000;

// Calls a method and waits at most callTimeoutMs; the reply may be an error message.
QDBusMessage call(QDBusConnection& bus, const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {});

// Properties.Get; an invalid QVariant when the call fails.
QVariant property(QDBusConnection& bus, const QString& service, const QString& path, const QString& interface,
                  const QString& name);

// True for errors that mean "nobody provides this service here".
bool isServiceMissing(const QDBusMessage& reply);

// A numeric status for a failed call: the QDBusError type, never 0.
int statusOf(const QDBusMessage& reply);

} // namespace tolva::dbus
