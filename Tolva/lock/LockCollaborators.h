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

// The fingerprint check offered in the unlock panel while it is shown.
class TouchIDUnlock {
public:
    // Whether a fingerprint can dismiss the overlay, and if not, why (for the log and for the
    // Security settings, which disable the fingerprint switch with `unavailableText()`).
    struct Availability {
        enum class Reason {
            available,        // a reader and at least one enrolled finger of the current user
            unknown,          // not asked yet, or the answer is still on its way
            noService,        // nothing answers for fingerprints on this computer
            noDevice,         // no fingerprint reader
            noEnrolledFinger, // a reader, but no finger enrolled for this user
            failed,           // the service answered with an error (`detail`)
        };
        Reason reason = Reason::unknown;
        std::string detail; // the service's own words, for the log

        bool isAvailable() const { return reason == Reason::available; }
        // Plain English for the log: "no fingerprint reader", …
        std::string logText() const;
        // The localised reason for the settings, absent when available.
        std::optional<std::string> unavailableText() const;
        friend bool operator==(const Availability&, const Availability&) = default;
    };

    virtual ~TouchIDUnlock() = default;
    // The last known availability; cheap, never blocks.
    virtual Availability availability() const = 0;
    bool isAvailable() const { return availability().isAvailable(); }
    // Asks the service again without blocking; `onAvailabilityChanged` runs (main thread) when
    // the answer differs from the last one.
    virtual void refreshAvailability() = 0;
    std::function<void()> onAvailabilityChanged;

    // A presentation exists (from `present` until `dismiss`), even one whose check has ended.
    virtual bool isPresented() const = 0;
    // Starts a fingerprint check shown in `panel` (the fingerprint control replaces its lock
    // icon); `onSuccess` runs on the main thread only when this very presentation matched.
    virtual void present(UnlockPanel* panel, std::function<void()> onSuccess) = 0;
    // Ends any check, gives the reader back and removes the control; late answers are ignored.
    virtual void dismiss() = 0;
};

// Checks the login password of the current user.
class LoginPasswordVerifier {
public:
    virtual ~LoginPasswordVerifier() = default;
    // Whether a check can be made at all on this computer (for the login password, a PAM
    // service is present). Cheap; any thread.
    virtual bool isAvailable() = 0;
    // Blocks; called off the main thread only. The text is consumed: wiped when this returns.
    virtual bool verify(std::string& password) = 0;
};

// Runs slow work away from the main thread and brings its result back to it.
class BackgroundRunner {
public:
    virtual ~BackgroundRunner() = default;
    virtual void run(std::function<bool()> work, std::function<void(bool)> onMainThread) = 0;
};

} // namespace tolva
