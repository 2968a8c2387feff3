// The desktop's settings as the freedesktop settings portal offers them: where to ask, and the
// value as it comes.
#pragma once

#include <QDBusVariant>
#include <QString>
#include <QVariant>

namespace tolva::portalSettings {

inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString interface = QStringLiteral("org.freedesktop.portal.Settings");
inline const QString desktopInterface = QStringLiteral("org.gnome.desktop.interface");

// The portal nests a value in one or two variants depending on its version.
inline QVariant unwrap(QVariant value) {
    while (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace tolva::portalSettings
