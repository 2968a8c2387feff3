// The login session through logind on the system bus (and the freedesktop ScreenSaver on the
// session bus where logind has nothing to say): is the system's own lock screen up, lock it
// now, and tell when it locks or the machine wakes.
#pragma once

#include "platform/IdleMonitor.h"
#include "platform/Scheduler.h"

#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <optional>
#include <string>

namespace tolva {

class LoginSession : public QObject, public ScreenLockState {
    Q_OBJECT

public:
    LoginSession(QDBusConnection systemBus, QDBusConnection sessionBus);
    ~LoginSession() override;

    // logind's LockedHint, else ScreenSaver.GetActive; anything missing reads as not locked.
    // Good enough to skip an idle lock, never to end one: see isSessionLocked.
    bool isScreenLocked() override;
    // logind's LockedHint of this session, read from logind now. Without logind: false.
    bool isSessionLocked();

    // Asks for the real session to be locked at once: logind LockSession, else
    // `xdg-screensaver lock` started without waiting. Answers the method used:
    // "SACLockScreenImmediate", "pmset displaysleepnow" or "failed". Both are only requests.
    std::string lockScreen();

    // Locks the real session and waits for logind to show it locked: LockSession first, then
    // the fallback program, each given `confirmSeconds`. Confirmed, `onScreenLocked` runs; never
    // confirmed (always so without logind), the failure is logged and the overlay stays up.
    void lockAndConfirm(Scheduler& scheduler);
    static constexpr double confirmSeconds = 3.0;

    // Starts listening for the session locking and for wake-ups. `onScreenLocked` runs only
    // when logind confirms the session locked (its LockedHint read back from logind): a Lock
    // request, a PropertiesChanged signal or a screen saver that starts to blank only makes it
    // look. Without logind nothing confirms a session lock.
    void watch();
    std::function<void()> onScreenLocked;
    std::function<void()> onWake;

    // The program started by the fallback (tests point it elsewhere).
    QString fallbackProgram = QStringLiteral("xdg-screensaver");
    QStringList fallbackArguments = {QStringLiteral("lock")};

private slots:
    void sessionLocked();
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated);
    void prepareForSleep(bool goingToSleep);
    void screenSaverActiveChanged(bool active);

private:
    bool lockViaLogind();
    bool lockViaFallback();
    void awaitConfirmation(Scheduler& scheduler, bool fallbackNext);
    void checkConfirmed(const char* trigger);
    std::optional<QString> sessionPath();
    std::optional<QString> sessionId();

    QDBusConnection system_;
    QDBusConnection session_;
    std::optional<QString> sessionPath_;
    Scheduler::Handle confirm_;
};

} // namespace tolva
