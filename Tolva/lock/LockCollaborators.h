// The small interfaces the lock controller works through, so its logic can run with fakes in
// tests and with the X11 and D-Bus services in the program.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

class OverlayWindow;
class UnlockPanel;

// Holding the foreground: on X11 the overlay window is raised and given the input focus, the
// window that had it is remembered and gets it back on release, and "kiosk" means the pointer
// is grabbed too.
class Foreground {
public:
    virtual ~Foreground() = default;
    // The name of the application that has the focus now ("nil" in logs when none).
    virtual std::optional<std::string> frontmostName() = 0;
    // Remembers the application that has the focus now, unless it is this program.
    virtual void rememberFrontmost() = 0;
    virtual std::optional<std::string> rememberedName() = 0;
    virtual void forgetRemembered() = 0;
    // Raises the window and gives it the focus.
    virtual void bringToFront(OverlayWindow* window) = 0;
    // This program holds the input focus.
    virtual bool isActive() = 0;
    // Gives the focus back to the remembered application; whether that worked.
    virtual bool handBack() = 0;
    virtual void setKiosk(bool on) = 0;
    virtual bool isKiosk() = 0;
};

// The fingerprint sign-in shown in the unlock panel.
class TouchIDUnlock {
public:
    virtual ~TouchIDUnlock() = default;
    virtual bool isAvailable() = 0;
    virtual bool isPresented() = 0;
    virtual void present(UnlockPanel* panel, std::function<void()> onSuccess) = 0;
    virtual void dismiss() = 0;
};

// A fingerprint reader that is not there: never available.
class UnavailableTouchID : public TouchIDUnlock {
public:
    bool isAvailable() override { return false; }
    bool isPresented() override { return false; }
    void present(UnlockPanel*, std::function<void()>) override {}
    void dismiss() override {}
};

// Checks the login password of the current user; may be called off the main thread.
class LoginPasswordVerifier {
public:
    virtual ~LoginPasswordVerifier() = default;
    virtual bool verify(const std::string& password) = 0;
};

// Until the PAM check arrives, no password is ever accepted.
class RejectingPasswordVerifier : public LoginPasswordVerifier {
public:
    bool verify(const std::string&) override { return false; }
};

// Runs slow work away from the main thread and brings its result back to it.
class BackgroundRunner {
public:
    virtual ~BackgroundRunner() = default;
    virtual void run(std::function<bool()> work, std::function<void(bool)> onMainThread) = 0;
};

} // namespace tolva
