// The one object that turns the overlay on and off: accepts or refuses lock requests, builds
// and shows the overlay, routes keys and pointer input while locked, shows the unlock panel,
// verifies what is typed off the main thread, counts failures into a backoff wait, watches the
// system during a lock and tears everything down at unlock.
#pragma once

#include "TolvaCore/LockStateMachine.h"
#include "TolvaCore/PinEntry.h"
#include "TolvaCore/Preferences.h"
#include "TolvaCore/UnlockBackoff.h"
#include "lock/LockCollaborators.h"
#include "lock/LockStateStore.h"
#include "overlay/OverlayContentBuilder.h"
#include "overlay/OverlayWindows.h"
#include "platform/EventTap.h"
#include "platform/IdleMonitor.h"
#include "platform/PointerGrab.h"
#include "platform/PowerAssertion.h"
#include "platform/Scheduler.h"
#include "unlock/Authenticator.h"
#include "unlock/UnlockPanelModel.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

class SecretText;

class LockController {
public:
    // What the controller is built from. The program supplies the X11 and D-Bus services; tests
    // supply fakes.
    struct Services {
        Scheduler* scheduler = nullptr;
        std::shared_ptr<Preferences> prefs;
        std::shared_ptr<Authenticator> authenticator;
        std::shared_ptr<IdleMonitor> idle;
        std::shared_ptr<OverlayWindows> windows;
        std::shared_ptr<OverlayContentBuilder> contentBuilder;
        std::shared_ptr<DisplaySleepBackend> displaySleep;
        std::shared_ptr<Foreground> foreground;
        std::shared_ptr<TouchIDUnlock> touchID;
        std::shared_ptr<LoginPasswordVerifier> passwordVerifier;
        std::shared_ptr<BackgroundRunner> background;
        // A new event tap for a lock, grabbing on the given overlay window.
        std::function<std::unique_ptr<EventTap>(EventTap::Handler, OverlayWindow*)> makeTap;
        // The pointer grab of a lock (none: the pointer is not held).
        std::function<std::unique_ptr<PointerGrab>()> makePointerGrab;
        // Where the lock and its wrong-PIN count are kept while locked, for a restarted program
        // (none: nothing is kept).
        std::shared_ptr<LockStateStore> lockState;
        std::function<bool()> accessibilityTrusted;
        // Whether the session's display server lets no program cover the screen at all (a
        // Wayland compositor without layer-shell); none: it does.
        std::function<bool()> coverUnavailable;
        // Whether the cover needs a desktop extension that is not on (GNOME Shell's); none: it
        // does not.
        std::function<bool()> coverExtensionOff;
        std::function<bool()> secureInputEnabled;
        std::function<bool()> screenCaptureAllowed;
        std::function<bool()> reduceMotion;
        // The pointer, in the core's y-up coordinates.
        std::function<Point()> pointerLocation;
        // Locks the real session (the keep-awake expiry with the system lock requested).
        std::function<void()> systemScreenLocker;
    };

    explicit LockController(Services services);
    ~LockController();
    LockController(const LockController&) = delete;
    LockController& operator=(const LockController&) = delete;

    // Observable surface.
    LockState state() const { return state_; }
    bool accessibilityGranted() const { return accessibilityGranted_; }
    bool pinConfigured() const { return pinConfigured_; }
    bool secureInputActive() const { return secureInputActive_; }
    bool tapActive() const { return tapActive_; }
    bool needsReauthorization() const { return needsReauthorization_; }
    bool snapshotFellBack() const { return snapshotFellBack_; }
    bool canLock() const { return accessibilityGranted_ && pinConfigured_; }
    // A PAM service for the login password is present (last check; see refreshCapabilities).
    bool passwordServiceAvailable() const { return passwordServiceAvailable_; }
    // The login password can dismiss the overlay: the preference is on and a PAM service is
    // present. Only then does the panel mention the password (note, title, error texts); the
    // Security settings disable the switch with "settings.security.loginPasswordUnavailable"
    // while no service is present.
    bool passwordUnlockAvailable() const;
    // Whether a fingerprint can dismiss the overlay, and why not (the Security settings disable
    // the fingerprint switch with `unavailableText()`); `refreshTouchIDAvailability()` asks again
    // and `onStatusChanged` runs when the answer changes.
    TouchIDUnlock::Availability touchIDAvailability() const { return services_.touchID->availability(); }
    void refreshTouchIDAvailability() { services_.touchID->refreshAvailability(); }
    std::optional<std::string> lockBlockedReason() const;
    // Why nothing can cover the screen on this session and what to do, or nothing where it can.
    std::optional<std::string> coverBlockedReason() const;
    std::optional<std::string> snapshotWarning() const;

    std::function<void()> onWillLock;
    std::function<void()> onDidUnlock;
    std::function<void()> onStatusChanged;

    void lock(const std::string& reason, std::optional<std::int64_t> keepAwake = std::nullopt,
              bool showAwayNote = false, std::optional<bool> lockSystemOnExpiry = std::nullopt,
              bool automatic = false);
    void unlock(const std::string& reason);
    void noteInput(const std::string& source);
    void refreshCapabilities();

    // System events (wired by the program to the platform's signals).
    void screensChanged();
    void becameActive();
    void appDidResignActive();
    void systemDidWake(const std::string& source);
    void reduceMotionChanged(bool reduceMotion);
    void systemScreenLocked();
    // Asks again whether another program holds the keyboard (for the status menu while
    // unlocked; while locked the tap knows).
    void refreshSecureInput();
    // Takes back a lock that a program before this one held when it ended, with its wrong-PIN
    // count and wait (a wait at most the backoff's longest from now).
    void resume(const PersistedLock& state);
    // The keyboard and the pointer may be free now (another process let go of them).
    void retryInputNow();

    // Key input from the event tap (true = swallow) and from an overlay window.
    bool handleTapEvent(const KeyEvent& event);
    void handleWindowKey(std::int64_t keyCode, std::uint64_t flags,
                         const std::optional<std::string>& characters, const std::string& via);

    // Inspection, for the status menu and tests.
    std::int64_t keepAwakeSeconds() const { return keepAwakeSeconds_; }
    bool lockSystemAfterKeepAwake() const { return lockSystemAfterKeepAwake_; }
    bool frontTaken() const { return frontTaken_; }
    bool isVerifying() const { return isVerifying_; }
    const PinEntry& entry() const { return entry_; }
    const UnlockBackoff& backoff() const { return backoff_; }
    std::optional<UnlockPanelModel> lastPanelModel() const { return lastModel_; }
    OverlayWindow* promptWindow() const { return promptWindow_; }
    std::int64_t lockGeneration() const { return lockGeneration_; }
    const PowerAssertion& power() const { return power_; }
    EventTap* tap() const { return tap_.get(); }
    PointerGrab* pointerGrab() const { return pointerGrab_.get(); }

private:
    void publishState();
    template <class T> void assign(T& field, T value) {
        if (field != value)
            field = value;
    }
    void performLock(OverlayContentBuilder::Result result);
    void wireWindows();
    void startTap();
    void retireTap();
    void inputHoldChanged();
    void watchWindows();
    void rebuildWindows();
    void screensChangedNow();
    void persist();
    void processKey(std::int64_t keyCode, std::uint64_t flags, const std::optional<std::string>& characters,
                    const std::string& via);
    void showPrompt();
    void presentTouchID();
    void restartPromptTimer();
    void promptTimedOut();
    void applyKey(const PinKey& key, const std::string& via);
    // While a check runs: the key goes into the entry kept as the next try.
    void keepForNextTry(const PinKey& key);
    // After a failed check: the kept entry is tried when it was submitted meanwhile (or is a
    // whole PIN), and dropped when a wait has started.
    void tryKeptEntry(const std::string& via);
    void verify(std::shared_ptr<const SecretText> secret, const std::string& via);
    void recordFailure(const std::string& via, const std::string& message);
    void startLockoutTicker();
    void refreshPanel();
    void startLockMonitors();
    void watchInput();
    void cancelLockTasks();
    void keepAwakeExpired();
    void monitorTick(int tick);
    void takeFront(const std::string& reason);
    void releaseFront(const std::string& reason);
    void bringPromptToFront();
    bool tapRunning() const;
    Instant now() const { return services_.scheduler->now(); }

    Services services_;
    Scheduler& scheduler_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // weak handle for callbacks

    LockState state_ = LockState::unlocked;
    bool accessibilityGranted_ = false;
    bool pinConfigured_ = false;
    bool secureInputActive_ = false;
    bool tapActive_ = false;
    bool needsReauthorization_ = false;
    bool snapshotFellBack_ = false;
    bool passwordServiceAvailable_ = false;

    PowerAssertion power_;
    LockStateMachine machine_{LockState::unlocked};
    UnlockBackoff backoff_;
    PinEntry entry_;
    std::unique_ptr<EventTap> tap_;
    // A stopped tap lives on a little: it may be mid-call (an unlock from inside its handler)
    // and it keeps swallowing the releases of keys that were still down.
    std::unique_ptr<EventTap> retiredTap_;
    std::unique_ptr<PointerGrab> pointerGrab_;
    Scheduler::Handle retiredTapRelease_;
    std::optional<OverlayContent> currentContent_;
    OverlayWindow* promptWindow_ = nullptr;
    std::optional<std::string> promptMessage_;
    std::int64_t lockGeneration_ = 0;
    bool isVerifying_ = false;
    bool submitAfterCheck_ = false; // Enter typed while a check ran: the kept entry goes next
    Instant lockedAt_{};
    std::int64_t keepAwakeSeconds_ = 0;
    bool lockSystemAfterKeepAwake_ = false;
    bool frontTaken_ = false;
    std::optional<UnlockPanelModel> lastModel_;

    Scheduler::Handle keepAwakeTask_;
    Scheduler::Handle powerTask_;
    Scheduler::Handle promptHideTask_;
    Scheduler::Handle lockoutTickTask_;
    Scheduler::Handle monitorTask_;
    Scheduler::Handle releaseCheck_;
    Scheduler::Handle screensSettled_;
    int monitorTickCount_ = 0;
};

} // namespace tolva
