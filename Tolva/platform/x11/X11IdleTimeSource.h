// Session idle time from the X server: MIT-SCREEN-SAVER's time since the last input, or the
// XSync IDLETIME counter where that extension is missing.
#pragma once

#include "platform/IdleMonitor.h"
#include "platform/x11/XConnection.h"

namespace tolva {

class X11IdleTimeSource : public IdleTimeSource {
public:
    explicit X11IdleTimeSource(std::shared_ptr<XConnection> connection);
    double secondsSinceLastInput() override;
    // "screensaver" or "sync" (or "none" when neither extension answers).
    const char* mechanism() const { return mechanism_; }

private:
    std::shared_ptr<XConnection> connection_;
    const char* mechanism_ = "none";
    std::uint32_t idleCounter_ = 0;
};

} // namespace tolva
