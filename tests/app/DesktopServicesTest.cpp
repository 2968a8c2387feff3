// logind, ScreenSaver and the display-sleep assertion against fake services on a private bus.
#include "app/Log.h"
#include "platform/PowerAssertion.h"
#include "platform/dbus/FreedesktopDisplaySleep.h"
#include "platform/dbus/LoginSession.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

using namespace tolva;
using test::PrivateBus;

TEST(LoginSession, LockedHintFromLogind) {
    test::qtApp();
    PrivateBus bus;
    auto fakes = bus.startFakeServices(true, true);
    LoginSession session(bus.connect("system"), bus.connect("session"));
    EXPECT_FALSE(session.isScreenLocked());
    bus.control("SetLockedHint", {true});
    EXPECT_TRUE(session.isScreenLocked());
}

TEST(LoginSession, FallsBackToScreenSaverThenToNotLocked) {
    test::qtApp();
    PrivateBus bus;
    {
        auto fakes = bus.startFakeServices(false, true);
        LoginSession session(bus.connect("system"), bus.connect("session"));
        EXPECT_FALSE(session.isScreenLocked());
        bus.control("SetActive", {true});
        EXPECT_TRUE(session.isScreenLocked());
    }
    LoginSession nothing(bus.connect("system2"), bus.connect("session2"));
    EXPECT_FALSE(nothing.isScreenLocked());
    LoginSession noBus(QDBusConnection(QStringLiteral("never-connected")),
                       QDBusConnection(QStringLiteral("neither")));
    EXPECT_FALSE(noBus.isScreenLocked());
}

TEST(LoginSession, LockScreenThroughLogindOrTheFallbackProgram) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    auto fakes = bus.startFakeServices(true, false);
    LoginSession session(bus.connect("system"), bus.connect("session"));
    EXPECT_EQ(session.lockScreen(), "SACLockScreenImmediate");
    EXPECT_EQ(bus.control("LockSessionCalls").toUInt(), 1u);
    EXPECT_EQ(log.messages("lock"),
              std::vector<std::string>{"system screen lock via SACLockScreenImmediate rc=0"});

    log.sink().clear();
    LoginSession withoutLogind(QDBusConnection(QStringLiteral("never-connected")), bus.connect("session"));
    withoutLogind.fallbackProgram = QStringLiteral("true");
    withoutLogind.fallbackArguments = {};
    EXPECT_EQ(withoutLogind.lockScreen(), "pmset displaysleepnow");
    EXPECT_EQ(log.messages("lock"),
              std::vector<std::string>{"system screen lock fallback: pmset displaysleepnow"});

    log.sink().clear();
    withoutLogind.fallbackProgram = QStringLiteral("/nonexistent/tolva-lock");
    EXPECT_EQ(withoutLogind.lockScreen(), "failed");
    EXPECT_EQ(log.messages("lock"),
              std::vector<std::string>{"system screen lock failed: cannot start /nonexistent/tolva-lock"});
}

TEST(LoginSession, ReportsLockAndWakeSignals) {
    test::qtApp();
    PrivateBus bus;
    auto fakes = bus.startFakeServices(true, true);
    LoginSession session(bus.connect("system"), bus.connect("session"));
    int locked = 0, woke = 0;
    session.onScreenLocked = [&] { ++locked; };
    session.onWake = [&] { ++woke; };
    session.watch();
    bus.control("EmitLock");
    ASSERT_TRUE(test::waitUntil([&] { return locked == 1; }));
    bus.control("SetLockedHint", {true});
    ASSERT_TRUE(test::waitUntil([&] { return locked == 2; }));
    bus.control("SetActive", {true});
    ASSERT_TRUE(test::waitUntil([&] { return locked == 3; }));
    bus.control("EmitPrepareForSleep", {true}); // going to sleep: not a wake
    bus.control("EmitPrepareForSleep", {false});
    ASSERT_TRUE(test::waitUntil([&] { return woke == 1; }));
    test::pumpEvents(std::chrono::milliseconds(50));
    EXPECT_EQ(woke, 1);
}

TEST(FreedesktopDisplaySleep, InhibitsThroughTheScreenSaverService) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    auto fakes = bus.startFakeServices(false, true);
    auto backend = std::make_shared<FreedesktopDisplaySleep>(bus.connect("session"), nullptr);
    PowerAssertion assertion(backend);
    assertion.start();
    EXPECT_NE(assertion.id(), 0u);
    EXPECT_STREQ(backend->mechanism(), "screensaver-inhibit");
    EXPECT_EQ(bus.control("Inhibits").toUInt(), 1u);
    assertion.release();
    EXPECT_EQ(bus.control("Inhibits").toUInt(), 0u);
}

TEST(FreedesktopDisplaySleep, FailsWithAStatusWhenNothingCanHoldTheDisplay) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus; // no ScreenSaver service, no X server
    PowerAssertion assertion(std::make_shared<FreedesktopDisplaySleep>(bus.connect("session"), nullptr));
    assertion.start();
    EXPECT_EQ(assertion.id(), 0u);
    auto lines = log.messages("lock");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("display-sleep assertion failed rc=")) << lines[0];
    EXPECT_NE(lines[0], "display-sleep assertion failed rc=0");
}
