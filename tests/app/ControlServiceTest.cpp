// The session-bus service and the second start's client, on private buses of the test's own.
#include "app/ControlService.h"
#include "log/Log.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QPointer>

#include <gtest/gtest.h>

#include <cstdio>

using namespace tolva;
using test::PrivateBus;

namespace {

QDBusMessage call(QDBusConnection bus, const QString& method, const QVariantList& arguments = {},
                  const QString& interface = QString::fromLatin1(ControlService::interfaceName)) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(QString::fromLatin1(ControlService::serviceName),
                                       QString::fromLatin1(ControlService::objectPath), interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::BlockWithGui, 5000);
}

// What a FILE* received.
struct Capture {
    std::FILE* file = std::tmpfile();
    ~Capture() { std::fclose(file); }
    std::string text() {
        std::fflush(file);
        std::rewind(file);
        std::string all;
        char buffer[512];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file))
            all.append(buffer, n);
        return all;
    }
};

} // namespace

TEST(ControlService, OneOwnerPerSessionBus) {
    test::qtApp();
    PrivateBus session, otherSession;
    ControlService first(session.connect("first"));
    EXPECT_EQ(first.claim(), ControlService::Claim::owned);
    ControlService second(session.connect("second"));
    EXPECT_EQ(second.claim(), ControlService::Claim::taken);
    EXPECT_EQ(second.ownerPid(), static_cast<std::uint32_t>(::getpid()));
    // Another session of the same user (its own bus) has its own instance.
    ControlService beside(otherSession.connect("beside"));
    EXPECT_EQ(beside.claim(), ControlService::Claim::owned);
    ControlService noBus(QDBusConnection(QStringLiteral("never-connected")));
    EXPECT_EQ(noBus.claim(), ControlService::Claim::noBus);
}

TEST(ControlService, MethodsReachTheHooksAndRefusalsAreErrors) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    ControlService service(bus.connect("service"));
    ASSERT_EQ(service.claim(), ControlService::Claim::owned);
    std::optional<std::string> refusal = "No PIN set";
    int locks = 0, settings = 0;
    std::vector<double> delays;
    service.onLock = [&] {
        ++locks;
        return refusal;
    };
    service.onLockIn = [&](double seconds) {
        delays.push_back(seconds);
        return refusal;
    };
    service.onShowSettings = [&] { ++settings; };
    QDBusConnection client = bus.connect("client");

    QDBusMessage reply = call(client, QStringLiteral("Lock"));
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), QString::fromLatin1(ControlService::refusedError));
    EXPECT_EQ(reply.errorMessage(), "No PIN set");
    refusal.reset();
    EXPECT_EQ(call(client, QStringLiteral("Lock")).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(locks, 2);

    EXPECT_EQ(call(client, QStringLiteral("LockIn"), {2.5}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(call(client, QStringLiteral("LockIn"), {0.25}).type(), QDBusMessage::ReplyMessage);
    // The same longest delay as "--lock-in": a day.
    EXPECT_EQ(call(client, QStringLiteral("LockIn"), {86400.0}).type(), QDBusMessage::ReplyMessage);
    for (double bad : {-1.0, 86400.5, 604800.0, 1e9}) {
        reply = call(client, QStringLiteral("LockIn"), {bad});
        EXPECT_EQ(reply.errorName(), "org.freedesktop.DBus.Error.InvalidArgs") << bad;
        EXPECT_EQ(reply.errorMessage(), "seconds must be between 0 and 86400") << bad;
    }
    EXPECT_EQ(delays, (std::vector<double>{2.5, 0.25, 86400})) << "a bad delay never reaches the program";

    EXPECT_EQ(call(client, QStringLiteral("ShowSettings")).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(settings, 1);
    EXPECT_EQ(log.messages("ui"),
              (std::vector<std::string>{"lock requested over D-Bus", "lock requested over D-Bus",
                                        "will lock in 2.5s (D-Bus)", "will lock in 0.25s (D-Bus)",
                                        "will lock in 86400.0s (D-Bus)", "window requested over D-Bus"}));
}

TEST(ControlService, LockedIsReadOnlyAndAnnouncedWhenItChanges) {
    test::qtApp();
    PrivateBus bus;
    ControlService service(bus.connect("service"));
    bool locked = false;
    service.isLocked = [&] { return locked; };
    ASSERT_EQ(service.claim(), ControlService::Claim::owned);
    QDBusConnection client = bus.connect("client");
    const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
    const QString iface = QString::fromLatin1(ControlService::interfaceName);

    auto get = [&] {
        QDBusMessage reply =
            call(client, QStringLiteral("Get"), {iface, QStringLiteral("Locked")}, properties);
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    };
    EXPECT_EQ(get(), QVariant(false));
    QDBusMessage set =
        call(client, QStringLiteral("Set"),
             {iface, QStringLiteral("Locked"), QVariant::fromValue(QDBusVariant(true))}, properties);
    EXPECT_EQ(set.type(), QDBusMessage::ErrorMessage) << "read-only";

    // The watcher is deleted by the first PropertiesChanged of the object that reaches it.
    auto* watcher = new QObject;
    QPointer<QObject> alive(watcher);
    ASSERT_TRUE(client.connect(QString(), QString::fromLatin1(ControlService::objectPath), properties,
                               QStringLiteral("PropertiesChanged"), watcher, SLOT(deleteLater())));
    service.stateChanged(); // unchanged: nothing announced
    test::pumpEvents(std::chrono::milliseconds(300));
    EXPECT_FALSE(alive.isNull()) << "announced without a change";
    locked = true;
    service.stateChanged();
    EXPECT_TRUE(test::waitUntil([&] { return alive.isNull(); })) << "PropertiesChanged announced";
    EXPECT_EQ(get(), QVariant(true));
}

TEST(ControlService, SecondStartSaysWhatHappenedAndExitsHonestly) {
    test::qtApp();
    PrivateBus bus;
    ControlService service(bus.connect("service"));
    ASSERT_EQ(service.claim(), ControlService::Claim::owned);
    std::optional<std::string> refusal;
    service.onLock = [&] { return refusal; };
    service.onLockIn = [&](double) { return refusal; };
    const std::string pid = std::to_string(::getpid());
    {
        Capture out, err;
        EXPECT_EQ(forwardToRunningInstance(bus.connect("c1"), {LaunchCommand::Kind::lock, 0, false}, out.file,
                                           err.file),
                  0);
        EXPECT_EQ(out.text(), "the running Tolva Screen (pid " + pid + ") turned the overlay on\n");
        EXPECT_EQ(err.text(), "");
    }
    {
        Capture out, err;
        EXPECT_EQ(forwardToRunningInstance(bus.connect("c2"), {LaunchCommand::Kind::lockIn, 5, false},
                                           out.file, err.file),
                  0);
        EXPECT_EQ(out.text(), "the running Tolva Screen (pid " + pid + ") turns the overlay on in 5.0s\n");
    }
    {
        Capture out, err;
        EXPECT_EQ(forwardToRunningInstance(bus.connect("c2b"), {LaunchCommand::Kind::lockIn, 0.25, false},
                                           out.file, err.file),
                  0);
        EXPECT_EQ(out.text(), "the running Tolva Screen (pid " + pid + ") turns the overlay on in 0.25s\n");
        EXPECT_EQ(err.text(), "");
    }
    refusal = "No PIN set";
    {
        Capture out, err;
        EXPECT_EQ(forwardToRunningInstance(bus.connect("c3"), {LaunchCommand::Kind::lock, 0, false}, out.file,
                                           err.file),
                  1);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(err.text(), "tolva-screen: the running Tolva Screen (pid " + pid +
                                  ") did not turn the overlay on: No PIN set\n");
    }
    {
        Capture out, err;
        EXPECT_EQ(forwardToRunningInstance(bus.connect("c4"), {LaunchCommand::Kind::lockIn, 0, true},
                                           out.file, err.file),
                  2);
        EXPECT_EQ(err.text(), "tolva-screen: --lock-in needs a number of seconds, for example --lock-in 5\n");
    }
    // Nobody owns the name on another bus: the call fails and says so.
    PrivateBus empty;
    Capture out, err;
    EXPECT_EQ(forwardToRunningInstance(empty.connect("c5"), {LaunchCommand::Kind::lock, 0, false}, out.file,
                                       err.file),
              1);
    EXPECT_TRUE(err.text().starts_with("tolva-screen: the running Tolva Screen did not answer: "))
        << err.text();
}

TEST(LaunchCommand, FirstLockArgumentCounts) {
    auto parse = [](QStringList arguments) {
        arguments.prepend(QStringLiteral("tolva-screen"));
        return LaunchCommand::parse(arguments);
    };
    using K = LaunchCommand::Kind;
    EXPECT_EQ(parse({}), (LaunchCommand{K::none, 0, false}));
    EXPECT_EQ(parse({"--lock"}), (LaunchCommand{K::lock, 0, false}));
    EXPECT_EQ(parse({"--lock-in", "5"}), (LaunchCommand{K::lockIn, 5, false}));
    EXPECT_EQ(parse({"--lock-in", "0.5", "--lock"}), (LaunchCommand{K::lockIn, 0.5, false}));
    EXPECT_EQ(parse({"--lock-in", "abc"}), (LaunchCommand{K::lockIn, 0, true}));
    EXPECT_EQ(parse({"--lock-in"}), (LaunchCommand{K::lockIn, 0, true}));
    EXPECT_EQ(parse({"--lock-in", "inf"}), (LaunchCommand{K::lockIn, 0, true}));
    EXPECT_EQ(parse({"--lock-in=0.25"}), (LaunchCommand{K::lockIn, 0.25, false}));
    EXPECT_EQ(parse({"--lock-in="}), (LaunchCommand{K::lockIn, 0, true}));
}
