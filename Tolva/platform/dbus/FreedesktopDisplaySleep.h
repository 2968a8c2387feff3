// Holds the display awake through org.freedesktop.ScreenSaver.Inhibit on the session bus (the
// cookie is the assertion id); without that service, through the X server: screen saver
// suspended and DPMS off.
#pragma once

#include "platform/PowerAssertion.h"

#include <QDBusConnection>

#include <memory>

namespace tolva {

class XConnection;

class FreedesktopDisplaySleep : public DisplaySleepBackend {
public:
    FreedesktopDisplaySleep(QDBusConnection sessionBus, std::shared_ptr<XConnection> x11);

    std::int32_t create(std::uint32_t& id) override;
    void release(std::uint32_t id) override;

    // Which mechanism holds the current assertion: "screensaver-inhibit", "x11" or "none".
    const char* mechanism() const { return mechanism_; }

private:
    QDBusConnection bus_;
    std::shared_ptr<XConnection> x11_;
    const char* mechanism_ = "none";
    // Which mechanism holds the assertion is remembered here, never read from the id: every
    // 32-bit value, 0 and 0xFFFFFFFF included, is a cookie the service may hand out.
    bool x11Held_ = false;
    bool dpmsWasEnabled_ = false;
};

} // namespace tolva
