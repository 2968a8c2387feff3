// logind and ScreenSaver queries, the session lock, and their signals.
#include "platform/dbus/LoginSession.h"

#include "log/Log.h"
#include "platform/dbus/DBusCall.h"

#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>

#include <unistd.h>

namespace tolva {

namespace {
const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString screenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
} // namespace

LoginSession::LoginSession(QDBusConnection systemBus, QDBusConnection sessionBus)
    : system_(std::move(systemBus)), session_(std::move(sessionBus)) {}

LoginSession::~LoginSession() {
    confirm_.cancel();
}

std::optional<QString> LoginSession::sessionPath() {
    if (sessionPath_)
        return sessionPath_;
    if (!system_.isConnected())
        return std::nullopt;
    const QByteArray id = qgetenv("XDG_SESSION_ID");
    QDBusMessage reply =
        id.isEmpty() ? dbus::call(system_, login1, managerPath, managerInterface,
                                  QStringLiteral("GetSessionByPID"), {static_cast<quint32>(::getpid())})
                     : dbus::call(system_, login1, managerPath, managerInterface,
                                  QStringLiteral("GetSession"), {QString::fromLocal8Bit(id)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    sessionPath_ = reply.arguments().first().value<QDBusObjectPath>().path();
    return sessionPath_;
}

std::optional<QString> LoginSession::sessionId() {
    auto path = sessionPath();
    if (!path)
        return std::nullopt;
    QVariant id = dbus::property(system_, login1, *path, sessionInterface, QStringLiteral("Id"));
    if (!id.isValid())
        return std::nullopt;
    return id.toString();
}

bool LoginSession::isScreenLocked() {
    if (auto path = sessionPath()) {
        QVariant hint =
            dbus::property(system_, login1, *path, sessionInterface, QStringLiteral("LockedHint"));
        if (hint.isValid() && hint.typeId() == QMetaType::Bool)
            return hint.toBool();
    }
    if (session_.isConnected()) {
        QDBusMessage reply =
            dbus::call(session_, screenSaver, screenSaverPath, screenSaver, QStringLiteral("GetActive"));
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
            reply.arguments().first().typeId() == QMetaType::Bool)
            return reply.arguments().first().toBool();
    }
    return false;
}

bool LoginSession::isSessionLocked() {
    // Asked of logind itself (the call goes to the owner of its name), never taken from a
    // signal or from the screen saver: only the session's own lock counts.
    auto path = sessionPath();
    if (!path)
        return false;
    QVariant hint = dbus::property(system_, login1, *path, sessionInterface, QStringLiteral("LockedHint"));
    return hint.isValid() && hint.typeId() == QMetaType::Bool && hint.toBool();
}

bool LoginSession::lockViaLogind() {
    auto id = sessionId();
    if (!id)
        return false;
    QDBusMessage reply =
        dbus::call(system_, login1, managerPath, managerInterface, QStringLiteral("LockSession"), {*id});
    const int rc = reply.type() == QDBusMessage::ReplyMessage ? 0 : dbus::statusOf(reply);
    Log::lock.info("system screen lock via SACLockScreenImmediate rc=" + std::to_string(rc));
    return rc == 0;
}

bool LoginSession::lockViaFallback() {
    qint64 pid = 0;
    if (QProcess::startDetached(fallbackProgram, fallbackArguments, QString(), &pid)) {
        Log::lock.info("system screen lock fallback: pmset displaysleepnow");
        return true;
    }
    Log::lock.error("system screen lock failed: cannot start " + fallbackProgram.toStdString());
    return false;
}

std::string LoginSession::lockScreen() {
    if (lockViaLogind())
        return "SACLockScreenImmediate";
    return lockViaFallback() ? "pmset displaysleepnow" : "failed";
}

void LoginSession::lockAndConfirm(Scheduler& scheduler) {
    confirm_.cancel();
    if (lockViaLogind())
        awaitConfirmation(scheduler, true);
    else if (lockViaFallback())
        awaitConfirmation(scheduler, false);
    else
        Log::lock.error("system screen lock not confirmed; overlay stays");
}

void LoginSession::awaitConfirmation(Scheduler& scheduler, bool fallbackNext) {
    const Instant deadline =
        scheduler.now() + std::chrono::duration_cast<ContinuousClock::duration>(Seconds(confirmSeconds));
    Scheduler* s = &scheduler;
    confirm_ = scheduler.every(Seconds(0.25), [this, s, deadline, fallbackNext] {
        if (isSessionLocked()) {
            confirm_.cancel();
            Log::lock.info("system screen lock confirmed");
            if (onScreenLocked)
                onScreenLocked();
            return;
        }
        if (s->now() < deadline)
            return;
        confirm_.cancel();
        if (fallbackNext && lockViaFallback()) {
            awaitConfirmation(*s, false);
            return;
        }
        Log::lock.error("system screen lock not confirmed; overlay stays");
    });
}

void LoginSession::checkConfirmed(const char* trigger) {
    if (isSessionLocked()) {
        if (onScreenLocked)
            onScreenLocked();
        return;
    }
    Log::lock.info(std::string(trigger) + " but the session is not locked; ignored");
}

void LoginSession::watch() {
    if (auto path = sessionPath()) {
        system_.connect(login1, *path, sessionInterface, QStringLiteral("Lock"), this, SLOT(sessionLocked()));
        system_.connect(login1, *path, QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("PropertiesChanged"), this,
                        SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    }
    system_.connect(login1, managerPath, managerInterface, QStringLiteral("PrepareForSleep"), this,
                    SLOT(prepareForSleep(bool)));
    session_.connect(screenSaver, screenSaverPath, screenSaver, QStringLiteral("ActiveChanged"), this,
                     SLOT(screenSaverActiveChanged(bool)));
}

void LoginSession::sessionLocked() {
    // A request to lock (any program may send it): it counts only once the session shows locked.
    checkConfirmed("session lock requested");
}

void LoginSession::sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                            const QStringList& invalidated) {
    // The signal only says where to look: the property is read back from logind before it counts.
    const QString hint = QStringLiteral("LockedHint");
    if (interface == sessionInterface && (changed.value(hint).toBool() || invalidated.contains(hint)))
        checkConfirmed("session LockedHint changed");
}

void LoginSession::prepareForSleep(bool goingToSleep) {
    if (!goingToSleep && onWake)
        onWake();
}

void LoginSession::screenSaverActiveChanged(bool active) {
    // The saver starting to blank is not a lock by itself (GetActive says blanking, not locked):
    // only logind can confirm one, and without logind nothing does.
    if (active)
        checkConfirmed("screen saver active");
}

} // namespace tolva
