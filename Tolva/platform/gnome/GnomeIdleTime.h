// Seconds since the last input on GNOME (Wayland), from mutter's idle monitor on the session bus
// (org.gnome.Mutter.IdleMonitor), which counts every input the compositor sees.
#pragma once

#include "platform/IdleMonitor.h"

#include <QDBusConnection>

namespace tolva {

class GnomeIdleTime : public IdleTimeSource {
public:
    explicit GnomeIdleTime(QDBusConnection bus);

    // Whether mutter answers at all.
    bool isAvailable();
    double secondsSinceLastInput() override;

private:
    QDBusConnection bus_;
};

} // namespace tolva
