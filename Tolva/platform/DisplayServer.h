// The session's display server, as the program needs it: who shows the overlay and holds the
// input, the focus, the lock shortcut, idle time, the displays and their snapshots. There is one
// backend for X11, one for the compositors with layer-shell (sway and the other wlroots
// compositors, KWin) and one for GNOME Shell, through our extension. The program picks one at
// start and speaks to no other display server.
#pragma once

#include "TolvaCore/HotKey.h"
#include "lock/LockCollaborators.h"
#include "lock/LockController.h"
#include "platform/EventTap.h"
#include "platform/HotKeyManager.h"
#include "platform/PointerGrab.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

class DisplaySource;
class DisplaySleepBackend;
class IdleTimeSource;
class KeyboardHolder;
class LockGuard;

class DisplayServer {
public:
    // What the lock's services are built with.
    struct Context {
        Scheduler* scheduler = nullptr;
        std::function<bool()> reduceMotion;
        // The process that holds the keyboard for the lock (the guard), once it runs.
        std::function<std::weak_ptr<KeyboardHolder>()> keyboardHolder;
        // Whether the lock's own input capture runs now.
        std::function<bool()> capturing;
    };

    // The backend for this session, from WAYLAND_DISPLAY, XDG_SESSION_TYPE and DISPLAY; the log
    // says which. A Wayland session is never driven through an X server it may also run for
    // older programs.
    static std::unique_ptr<DisplayServer> forSession();

    virtual ~DisplayServer() = default;

    // How long since the last input; null where the session does not say.
    virtual std::shared_ptr<IdleTimeSource> idleTime() { return nullptr; }
    // Where the lock shortcut is registered; null where no program can have one.
    virtual std::unique_ptr<HotKeyBackend> hotKeys() { return nullptr; }
    // Whether the shortcut is the user's binding in the compositor's configuration (sway), and
    // the line that binds it.
    virtual bool compositorBindsShortcut() const { return false; }
    virtual std::string compositorBindingLine(const std::optional<HotKey>&) const { return {}; }
    // The displays (Qt's screen list unless the server knows better).
    virtual std::shared_ptr<DisplaySource> displays();
    // What keeps the displays awake while locked.
    virtual std::shared_ptr<DisplaySleepBackend> displaySleep();
    // Fills in what the lock controller needs of the display server: the overlay's windows and
    // content, the focus, the input capture and the pointer.
    virtual void provide(LockController::Services& services, const Context& context) = 0;
    // Whether an overlay of a program that is gone still covers the screen: the next start takes
    // the lock back before anything else.
    virtual bool coverLeftBehind() { return false; }
    // The guard's program, next to this one; empty where the session keeps the cover without one.
    virtual QString guardProgram() const { return {}; }
    // The guard runs: what the overlay needs to hear from it.
    virtual void guardStarted(LockGuard&) {}
    // What the guard's own cover needs to know before it hears that the lock is on.
    virtual void beforeGuardHearsLocked(LockGuard&) {}
    // Makes the next lock's windows (`liveTint`: for a translucent look) and the user's picture
    // (an image store file name) in advance, where the server keeps them.
    virtual void prepareWindows(bool /*liveTint*/) {}
    virtual void prepareImage(const std::string& /*imageFileName*/) {}
};

// Stand-ins where a session has nothing to offer.
struct NoEventTap : EventTap {
    bool start() override { return false; }
    void stop() override {}
    bool isEnabled() override { return false; }
    bool isInstalled() const override { return false; }
};

// Without an X server there is no focus to take.
struct NoForeground : Foreground {
    std::optional<std::string> frontmostName() override { return std::nullopt; }
    void rememberFrontmost() override {}
    std::optional<std::string> rememberedName() override { return std::nullopt; }
    void forgetRemembered() override {}
    void bringToFront(OverlayWindow*) override {}
    bool isActive() override { return false; }
    bool handBack() override { return false; }
    void setKiosk(bool) override {}
    bool isKiosk() override { return false; }
};

// The input of a cover that the compositor (or the Shell) hands every key and click: the cover
// gives out the key tap and knows where the pointer is; there is no focus to take, no grab to
// make and nobody else who could hold the keyboard.
template <class Cover>
void provideCoverInput(LockController::Services& services, const std::shared_ptr<Cover>& cover) {
    services.foreground = std::make_shared<NoForeground>();
    std::weak_ptr<Cover> weakCover = cover;
    services.makeTap = [weakCover](EventTap::Handler handler, OverlayWindow*) -> std::unique_ptr<EventTap> {
        if (auto c = weakCover.lock())
            return c->makeTap(std::move(handler));
        return std::make_unique<NoEventTap>();
    };
    services.makePointerGrab = [] { return std::unique_ptr<PointerGrab>(); };
    services.secureInputEnabled = [] { return false; };
    services.pointerLocation = [weakCover] {
        auto c = weakCover.lock();
        return c && c->pointer() ? *c->pointer() : Point{0, 0};
    };
}

} // namespace tolva
