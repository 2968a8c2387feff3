// The X11 backend: the overlay's windows drawn by the X server, the keyboard held through the
// guard, the shortcut as a passive grab, idle time from the screen saver extension, snapshots
// read from the root window.
#pragma once

#include "platform/DisplayServer.h"

#include <memory>

namespace tolva {

class XConnection;
class X11DisplaySource;
class X11OverlayWindows;

class X11DisplayServer : public DisplayServer {
public:
    // `x11` may be null (no X server answers): nothing can be held then.
    explicit X11DisplayServer(std::shared_ptr<XConnection> x11);

    std::shared_ptr<IdleTimeSource> idleTime() override;
    std::unique_ptr<HotKeyBackend> hotKeys() override;
    std::shared_ptr<DisplaySource> displays() override;
    std::shared_ptr<DisplaySleepBackend> displaySleep() override;
    void provide(LockController::Services& services, const Context& context) override;
    bool coverLeftBehind() override;
    QString guardProgram() const override;
    void prepareWindows(bool liveTint) override;
    void prepareImage(const std::string& imageFileName) override;

private:
    std::shared_ptr<XConnection> x11_;
    std::shared_ptr<X11DisplaySource> displays_;
    std::weak_ptr<X11OverlayWindows> windows_;
};

} // namespace tolva
