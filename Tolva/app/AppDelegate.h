// Start-up and lifecycle: creates the long-lived services in a fixed order, refuses to run
// twice, connects the lock controller to the tray menu, the onboarding window and the global
// shortcut, handles "--lock-in", keeps capabilities fresh and refuses to quit while locked.
#pragma once

#include "TolvaCore/Preferences.h"
#include "app/ControlService.h"
#include "app/QtTranslations.h"
#include "app/TimedLock.h"
#include "lock/LockController.h"
#include "platform/HotKeyManager.h"
#include "platform/IdleMonitor.h"
#include "platform/QtScheduler.h"
#include "unlock/Authenticator.h"

#include <QLockFile>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

namespace tolva {

class LoginSession;
class ReduceMotionSetting;
class DesktopClockFormat;
class StatusMenuController;
class OnboardingWindowController;
class AppUpdater;
class LockGuard;
class DisplayServer;
class DisplaySource;
enum class SettingsTab;
class UpdateSettings;
class SettingsWindowController;

class AppDelegate {
public:
    // This program as the session's one instance: the owner of the session-bus name (without a
    // bus, of a lock file in the user's runtime folder).
    struct Instance {
        std::unique_ptr<ControlService> control;
        std::unique_ptr<QLockFile> lock;
        // Another program runs: this one handed it the command line; the status to end with.
        std::optional<int> exitStatus;
    };
    // Claims the instance; when another program runs, hands it the command line, says in one line
    // what it did (this start's log lines go to the journal, not to the terminal) and answers the
    // exit status.
    static Instance claimInstance(const QStringList& arguments);

    explicit AppDelegate(Instance instance);
    ~AppDelegate();

    // Runs the launch sequence; answers the exit status when the program must end at once, else
    // nothing.
    std::optional<int> launch(const QStringList& arguments);

    // A quit request (tray menu, SIGTERM, SIGINT): refused while the overlay is on.
    void requestQuit();
    // The controller's state changed: the tray and the guard follow it.
    void statusChanged();
    // After a start with the keyring locked: loads the PIN once the keyring has been unlocked.
    void reloadPinIfKeyringWasLocked();
    void scheduleRefresh();
    void prepareOverlay();

    // The seconds of the first "--lock-in", if it is followed by a number.
    static std::optional<double> lockInSeconds(const QStringList& arguments);

    LockController* controller() const { return controller_.get(); }
    // The model of the settings window's "Updates" group.
    UpdateSettings* updateSettings() const { return updateSettings_.get(); }

private:
    void watchSignals();
    void startUpdater();
    // Opens the window that "Settings…" stands for.
    void openSettings(std::optional<SettingsTab> tab);
    static QString hotKeyText(const std::optional<HotKey>& hotKey);

    QtScheduler scheduler_;
    std::shared_ptr<Preferences> prefs_;
    std::shared_ptr<Authenticator> authenticator_;
    // The session's display server, chosen once at start.
    std::unique_ptr<DisplayServer> display_;
    std::shared_ptr<IdleMonitor> idle_;
    std::unique_ptr<HotKeyManager> hotKeys_;
    std::shared_ptr<LoginSession> session_;
    std::unique_ptr<ReduceMotionSetting> reduceMotion_;
    std::shared_ptr<LockGuard> guard_;
    std::shared_ptr<DisplaySource> displays_;
    bool resuming_ = false;
    std::unique_ptr<LockController> controller_;
    std::unique_ptr<StatusMenuController> statusMenu_;
    std::unique_ptr<OnboardingWindowController> onboarding_;
    std::shared_ptr<AppUpdater> updater_;
    std::unique_ptr<UpdateSettings> updateSettings_;
    std::unique_ptr<SettingsWindowController> settings_;
    std::unique_ptr<QLockFile> instanceLock_;
    Preferences::Observation hotKeyObservation_;
    Preferences::Observation idleObservation_;
    std::vector<Preferences::Observation> imageObservations_;
    // While the settings record a new shortcut, the registered one is set aside.
    bool recordingHotKey_ = false;
    Scheduler::Handle refreshTask_;
    Scheduler::Handle prepareTask_;
    std::unique_ptr<QtTranslations> qtTranslations_;
    std::unique_ptr<DesktopClockFormat> clockFormat_;
    // "--lock-in" and D-Bus LockIn.
    std::unique_ptr<TimedLock> timedLock_;
    Scheduler::Handle noTrayTask_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
    // The session-bus service; owning its name makes this the session's one instance.
    std::unique_ptr<ControlService> control_;
};

} // namespace tolva
