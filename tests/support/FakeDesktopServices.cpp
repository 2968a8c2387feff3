// Small stand-ins for the desktop's D-Bus services, for tests on a private bus:
//   --login1        org.freedesktop.login1 (manager and one session "c1" with LockedHint)
//   --screensaver   org.freedesktop.ScreenSaver (Inhibit, UnInhibit, GetActive)
// Tests steer and inspect them through org.tolva.Test.Control at /control on the same name
// "org.tolva.TestServices": SetLockedHint(b), SetActive(b), EmitPrepareForSleep(b),
// EmitLock(), Inhibits() -> u (active cookies), LockSessionCalls() -> u, SetLockerPresent(b),
// SetNextCookie(u), AnnounceLockedHint(b) (a PropertiesChanged signal saying LockedHint is b,
// sent by logind's name owner while the property itself stays as it is)
// (LockSession then also sets LockedHint, as a desktop with a screen locker would).
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSet>

#include <cstdio>

namespace {

const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/c1");

class Services : public QDBusVirtualObject {
public:
    explicit Services(QDBusConnection bus) : bus_(std::move(bus)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        const QString iface = message.interface();
        const QVariantList args = message.arguments();
        auto reply = [&](const QVariantList& values = {}) {
            connection.send(message.createReply(values));
            return true;
        };
        if (iface == "org.freedesktop.login1.Manager") {
            if (member == "GetSession" || member == "GetSessionByPID")
                return reply({QVariant::fromValue(QDBusObjectPath(sessionPath))});
            if (member == "LockSession") {
                ++lockSessionCalls_;
                emitSignal(sessionPath, "org.freedesktop.login1.Session", "Lock", {});
                if (lockerPresent_)
                    setLockedHint(true); // a locker that answers the request
                return reply();
            }
        }
        if (iface == "org.freedesktop.DBus.Properties" && member == "Get" && message.path() == sessionPath) {
            const QString name = args.value(1).toString();
            if (name == "LockedHint")
                return reply({QVariant::fromValue(QDBusVariant(lockedHint_))});
            if (name == "Id")
                return reply({QVariant::fromValue(QDBusVariant(QStringLiteral("c1")))});
        }
        if (iface == "org.freedesktop.ScreenSaver") {
            if (member == "Inhibit") {
                const quint32 cookie = nextCookie_++;
                inhibits_.insert(cookie);
                return reply({cookie});
            }
            if (member == "UnInhibit") {
                inhibits_.remove(args.value(0).toUInt());
                return reply();
            }
            if (member == "GetActive")
                return reply({active_});
        }
        if (iface == "org.tolva.Test.Control") {
            if (member == "SetLockedHint") {
                setLockedHint(args.value(0).toBool());
                return reply();
            }
            if (member == "AnnounceLockedHint") {
                announceLockedHint(args.value(0).toBool());
                return reply();
            }
            if (member == "SetLockerPresent") {
                lockerPresent_ = args.value(0).toBool();
                return reply();
            }
            if (member == "SetActive") {
                active_ = args.value(0).toBool();
                emitSignal("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
                           {active_});
                return reply();
            }
            if (member == "EmitPrepareForSleep") {
                emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                           {args.value(0).toBool()});
                return reply();
            }
            if (member == "EmitLock") {
                emitSignal(sessionPath, "org.freedesktop.login1.Session", "Lock", {});
                return reply();
            }
            if (member == "SetNextCookie") {
                nextCookie_ = args.value(0).toUInt();
                return reply();
            }
            if (member == "Inhibits")
                return reply({static_cast<quint32>(inhibits_.size())});
            if (member == "LockSessionCalls")
                return reply({lockSessionCalls_});
        }
        connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                                 QStringLiteral("not faked: ") + iface + "." + member));
        return true;
    }

private:
    void setLockedHint(bool locked) {
        lockedHint_ = locked;
        announceLockedHint(locked);
    }
    void announceLockedHint(bool locked) {
        QVariantMap changed{{"LockedHint", locked}};
        emitSignal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                   {QStringLiteral("org.freedesktop.login1.Session"), changed, QStringList()});
    }
    void emitSignal(const QString& path, const QString& iface, const QString& name,
                    const QVariantList& args) {
        QDBusMessage signal = QDBusMessage::createSignal(path, iface, name);
        signal.setArguments(args);
        bus_.send(signal);
    }

    QDBusConnection bus_;
    bool lockedHint_ = false;
    bool lockerPresent_ = false;
    bool active_ = false;
    quint32 nextCookie_ = 1;
    QSet<quint32> inhibits_;
    quint32 lockSessionCalls_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString address;
    bool login1 = false, screenSaver = false;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--bus" && i + 1 < arguments.size())
            address = arguments[++i];
        else if (arguments[i] == "--login1")
            login1 = true;
        else if (arguments[i] == "--screensaver")
            screenSaver = true;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("fake"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "fake services: cannot connect to %s\n", qPrintable(address));
        return 1;
    }
    Services services(bus);
    bus.registerVirtualObject(QStringLiteral("/"), &services, QDBusConnection::SubPath);
    if (login1)
        bus.registerService(QStringLiteral("org.freedesktop.login1"));
    if (screenSaver)
        bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver"));
    bus.registerService(QStringLiteral("org.tolva.TestServices"));
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
