// The login session through logind on the system bus (and the freedesktop ScreenSaver on the
// session bus where logind has nothing to say): is the system's own lock screen up, lock it
// now, and tell when it locks or the machine wakes.
#pragma once

#include "platform/IdleMonitor.h"

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

    // logind's LockedHint, else ScreenSaver.GetActive; anything missing reads as not locked.
    bool isScreenLocked() override;

    // Locks the real session at once: logind LockSession, else `xdg-screensaver lock` started
    // without waiting. Answers the method used: "SACLockScreenImmediate", "pmset displaysleepnow"
    // or "failed".
    std::string lockScreen();

    // Starts listening for the session locking and for wake-ups.
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
    std::optional<QString> sessionPath();
    std::optional<QString> sessionId();

    QDBusConnection system_;
    QDBusConnection session_;
    std::optional<QString> sessionPath_;
};

} // namespace tolva
