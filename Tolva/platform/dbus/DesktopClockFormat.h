// The 12- or 24-hour clock the desktop shows, from the freedesktop settings portal
// (org.gnome.desktop.interface clock-format, "12h" or "24h"); nothing where the portal has no
// such setting, and the locale decides.
#pragma once

#include "TolvaCore/TimeOfDay.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <functional>
#include <optional>

namespace tolva {

class DesktopClockFormat : public QObject {
    Q_OBJECT

public:
    explicit DesktopClockFormat(QDBusConnection sessionBus);
    // Reads the setting without waiting for the answer (a portal started on demand must not hold
    // start-up), then follows its changes: onChanged hears the first answer and every change.
    void follow();
    std::function<void(std::optional<TimeOfDay::HourCycle>)> onChanged;

    // "24h" and "12h"; anything else is no setting.
    static std::optional<TimeOfDay::HourCycle> fromSetting(const QVariant& value);

private slots:
    void settingChanged(const QDBusMessage& message);

private:
    QDBusConnection bus_;
};

} // namespace tolva
