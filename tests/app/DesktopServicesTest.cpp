// logind, ScreenSaver and the display-sleep assertion against fake services on a private bus.
#include "log/Log.h"
#include "platform/PowerAssertion.h"
#include "platform/dbus/FreedesktopDisplaySleep.h"
#include "platform/dbus/LoginSession.h"
#include "platform/fake/FakeScheduler.h"
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

TEST(LoginSession, OnlyAConfirmedSessionLockCountsAndWakeSignalsAreReported) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    auto fakes = bus.startFakeServices(true, true);
    LoginSession session(bus.connect("system"), bus.connect("session"));
    int locked = 0, woke = 0;
    session.onScreenLocked = [&] { ++locked; };
    session.onWake = [&] { ++woke; };
    session.watch();
    // A lock request and a saver that starts to blank, with logind saying "not locked": any
    // program of the user could send these, so they change nothing.
    bus.control("EmitLock");
    bus.control("SetActive", {true});
    ASSERT_TRUE(test::waitUntil([&] { return log.messages("lock").size() >= 2; }));
    EXPECT_EQ(locked, 0);
    EXPECT_EQ(log.messages("lock"),
              (std::vector<std::string>{"session lock requested but the session is not locked; ignored",
                                        "screen saver active but the session is not locked; ignored"}));
    bus.control("SetLockedHint", {true});
    ASSERT_TRUE(test::waitUntil([&] { return locked == 1; }));
    bus.control("EmitPrepareForSleep", {true}); // going to sleep: not a wake
    bus.control("EmitPrepareForSleep", {false});
    ASSERT_TRUE(test::waitUntil([&] { return woke == 1; }));
    test::pumpEvents(std::chrono::milliseconds(50));
    EXPECT_EQ(woke, 1);
}

// A PropertiesChanged signal from logind's name owner only says where to look: the property
// read back from logind decides.
TEST(LoginSession, ALockedHintSignalCountsOnlyWhenLogindSaysSoWhenAsked) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    auto fakes = bus.startFakeServices(true, false);
    LoginSession session(bus.connect("system"), bus.connect("session"));
    int locked = 0;
    session.onScreenLocked = [&] { ++locked; };
    session.watch();
    bus.control("AnnounceLockedHint", {true}); // while the property says false
    ASSERT_TRUE(test::waitUntil([&] { return !log.messages("lock").empty(); }));
    EXPECT_EQ(locked, 0) << "a LockedHint signal was believed without reading the property";
    EXPECT_EQ(log.messages("lock"),
              std::vector<std::string>{"session LockedHint changed but the session is not locked; ignored"});
    EXPECT_FALSE(session.isSessionLocked());

    bus.control("SetLockedHint", {true}); // the property and its signal
    ASSERT_TRUE(test::waitUntil([&] { return locked == 1; }));
    EXPECT_TRUE(session.isSessionLocked());
    EXPECT_EQ(log.messages("lock").size(), 1u);
}

// Without logind nothing confirms a session lock: a screen saver that says it is active (by
// its signal or when asked) is blanking, not locked, and any program can own its name.
TEST(LoginSession, WithoutLogindNoScreenSaverSignalOrAnswerEndsTheOverlay) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    auto fakes = bus.startFakeServices(false, true);
    FakeScheduler scheduler;
    LoginSession session(bus.connect("system"), bus.connect("session"));
    session.fallbackProgram = QStringLiteral("true");
    session.fallbackArguments = {};
    int locked = 0;
    session.onScreenLocked = [&] { ++locked; };
    session.watch();
    bus.control("SetActive", {true}); // ActiveChanged(true), and GetActive answers true
    ASSERT_TRUE(test::waitUntil([&] { return !log.messages("lock").empty(); }));
    EXPECT_TRUE(session.isScreenLocked()) << "the screen saver does answer true";
    EXPECT_FALSE(session.isSessionLocked());
    session.lockAndConfirm(scheduler);
    scheduler.advance(Seconds(LoginSession::confirmSeconds));
    EXPECT_EQ(locked, 0);
    EXPECT_EQ(log.messages("lock"),
              (std::vector<std::string>{"screen saver active but the session is not locked; ignored",
                                        "system screen lock fallback: pmset displaysleepnow",
                                        "system screen lock not confirmed; overlay stays"}));
}

TEST(LoginSession, ASessionLockIsConfirmedOrTheFailureIsLogged) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus;
    auto fakes = bus.startFakeServices(true, false);
    FakeScheduler scheduler;
    LoginSession session(bus.connect("system"), bus.connect("session"));
    session.fallbackProgram = QStringLiteral("true"); // a fallback that locks nothing either
    session.fallbackArguments = {};
    int locked = 0;
    session.onScreenLocked = [&] { ++locked; };

    // Nobody answers the request: logind, then the fallback, each given their time.
    session.lockAndConfirm(scheduler);
    scheduler.advance(Seconds(LoginSession::confirmSeconds));
    scheduler.advance(Seconds(LoginSession::confirmSeconds));
    EXPECT_EQ(locked, 0) << "an unconfirmed lock never ends the overlay";
    EXPECT_EQ(log.messages("lock"),
              (std::vector<std::string>{"system screen lock via SACLockScreenImmediate rc=0",
                                        "system screen lock fallback: pmset displaysleepnow",
                                        "system screen lock not confirmed; overlay stays"}));

    // A desktop whose locker answers.
    log.sink().clear();
    bus.control("SetLockerPresent", {true});
    session.lockAndConfirm(scheduler);
    scheduler.advance(Seconds(0.25));
    EXPECT_EQ(locked, 1);
    EXPECT_EQ(log.messages("lock"),
              (std::vector<std::string>{"system screen lock via SACLockScreenImmediate rc=0",
                                        "system screen lock confirmed"}));
    scheduler.advance(Seconds(LoginSession::confirmSeconds * 2));
    EXPECT_EQ(locked, 1) << "confirmed once";
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

// Cookies are the service's own numbers: 0 is a valid one (it must be released, not taken for
// a failure), and 0xFFFFFFFF is just a cookie too (not the mark of the X11 fallback).
TEST(FreedesktopDisplaySleep, EveryCookieIsHeldAndReleased) {
    test::qtApp();
    PrivateBus bus;
    auto fakes = bus.startFakeServices(false, true);
    for (quint32 cookie : {0u, 0xFFFFFFFFu, 0xFFFFFFFEu}) {
        SCOPED_TRACE(cookie);
        ScopedLogCapture log;
        bus.control("SetNextCookie", {cookie});
        auto backend = std::make_shared<FreedesktopDisplaySleep>(bus.connect("session"), nullptr);
        PowerAssertion assertion(backend);
        assertion.start();
        EXPECT_TRUE(assertion.isHeld());
        EXPECT_EQ(assertion.id(), cookie);
        EXPECT_STREQ(backend->mechanism(), "screensaver-inhibit");
        EXPECT_EQ(bus.control("Inhibits").toUInt(), 1u);
        assertion.release();
        EXPECT_FALSE(assertion.isHeld());
        EXPECT_EQ(bus.control("Inhibits").toUInt(), 0u) << "the inhibit was released, not leaked";
        EXPECT_EQ(log.messages("lock"),
                  (std::vector<std::string>{"display-sleep assertion on", "display-sleep assertion off"}));
    }
}

TEST(FreedesktopDisplaySleep, FailsWithAStatusWhenNothingCanHoldTheDisplay) {
    test::qtApp();
    ScopedLogCapture log;
    PrivateBus bus; // no ScreenSaver service, no X server
    PowerAssertion assertion(std::make_shared<FreedesktopDisplaySleep>(bus.connect("session"), nullptr));
    assertion.start();
    EXPECT_FALSE(assertion.isHeld());
    auto lines = log.messages("lock");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("display-sleep assertion failed rc=")) << lines[0];
    EXPECT_NE(lines[0], "display-sleep assertion failed rc=0");
}
