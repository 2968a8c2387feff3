// The keyboard grab, the global shortcut and idle time on the real X server of the test
// session, with a victim window holding the focus and keys typed by xdotool.
#include "log/Log.h"
#include "platform/HotKeyManager.h"
#include "platform/Permissions.h"
#include "platform/PowerAssertion.h"
#include "platform/dbus/FreedesktopDisplaySleep.h"
#include "platform/fake/FakeScheduler.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11HotKeyBackend.h"
#include "platform/x11/X11IdleTimeSource.h"
#include "platform/x11/X11PointerGrab.h"
#include "support/ChildProcess.h"
#include "support/OtherClient.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"
#include "support/QtWidgetsApp.h"
#include "ui/HotKeyRecorderView.h"
#include "ui/OverlayColorWell.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

using namespace tolva;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::OtherClientGrab;

namespace {

struct X11Fixture : ::testing::Test {
    void SetUp() override {
        test::qtApp();
        connection = XConnection::open();
        ASSERT_TRUE(connection) << "no X display at "
                                << (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(unset)");
        victim = std::make_unique<ChildProcess>(std::vector<std::string>{TOLVA_VICTIM});
        ASSERT_TRUE(victim->waitFor("ready", 5s)) << "the victim window never got the focus";
    }
    void TearDown() override { victim.reset(); }

    // Types with xdotool and waits until the X server has delivered everything.
    void type(std::vector<std::string> keys) {
        std::vector<std::string> argv{"xdotool", "key", "--delay", "5"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        ASSERT_EQ(test::run(argv), 0);
        xcb_aux_sync();
    }
    void xcb_aux_sync() {
        auto reply = xreply(
            xcb_get_input_focus_reply(connection->get(), xcb_get_input_focus(connection->get()), nullptr));
        connection->dispatchPending();
        test::pumpEvents(30ms);
    }
    std::vector<std::string> victimKeys() {
        test::pumpEvents(50ms);
        return victim->drainLines();
    }

    std::shared_ptr<XConnection> connection;
    std::unique_ptr<ChildProcess> victim;
    FakeScheduler scheduler;
};

using EventTapX11 = X11Fixture;
using HotKeyX11 = X11Fixture;
using IdleTimeX11 = X11Fixture;

} // namespace

TEST_F(EventTapX11, SwallowsEveryKeyAndReportsItTranslated) {
    ScopedLogCapture log;
    std::vector<KeyEvent> seen;
    X11EventTap tap(connection, scheduler, [&](const KeyEvent& e) {
        seen.push_back(e);
        return true;
    });
    ASSERT_TRUE(tap.start());
    EXPECT_TRUE(tap.start());
    EXPECT_TRUE(tap.isEnabled());
    type({"1", "2", "a", "Return", "Escape", "shift+1", "ctrl+alt+t", "super+space", "KP_Enter"});
    ASSERT_TRUE(test::waitUntil([&] {
        connection->dispatchPending();
        return std::count_if(seen.begin(), seen.end(),
                             [](auto& e) { return e.type == KeyEvent::Type::keyDown; }) >= 9;
    }));

    std::vector<KeyEvent> downs;
    for (auto& e : seen)
        if (e.type == KeyEvent::Type::keyDown)
            downs.push_back(e);
    ASSERT_EQ(downs.size(), 9u);
    EXPECT_EQ(downs[0].keyCode, 18);
    EXPECT_EQ(downs[0].characters, "1");
    EXPECT_EQ(downs[1].keyCode, 19);
    EXPECT_EQ(downs[2].keyCode, 0);
    EXPECT_EQ(downs[2].characters, "a");
    EXPECT_EQ(downs[3].keyCode, 36);
    EXPECT_EQ(downs[4].keyCode, 53);
    EXPECT_EQ(downs[5].keyCode, 18);
    EXPECT_EQ(downs[5].characters, "!");
    EXPECT_EQ(downs[5].flags & KeyTranslation::shiftFlag, KeyTranslation::shiftFlag);
    EXPECT_EQ(downs[6].keyCode, 17);
    EXPECT_EQ(downs[6].flags & (KeyTranslation::controlFlag | KeyTranslation::optionFlag),
              KeyTranslation::controlFlag | KeyTranslation::optionFlag);
    EXPECT_EQ(downs[7].keyCode, 49);
    EXPECT_EQ(downs[7].flags & KeyTranslation::commandFlag, KeyTranslation::commandFlag);
    EXPECT_EQ(downs[8].keyCode, 76);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                            [](auto& e) { return e.type == KeyEvent::Type::flagsChanged; }));
    EXPECT_TRUE(
        std::any_of(seen.begin(), seen.end(), [](auto& e) { return e.type == KeyEvent::Type::keyUp; }));

    EXPECT_TRUE(victimKeys().empty()) << "a key of the lock reached the focused window";
    tap.stop();
    tap.stop();
    EXPECT_EQ(log.messages("input"), (std::vector<std::string>{"tap started", "tap stopped"}));

    type({"3"});
    auto after = victimKeys();
    EXPECT_EQ(after, (std::vector<std::string>{"press 12", "release 12"})) << "keys flow again after stop";
}

TEST_F(EventTapX11, StopOnAKeyPressStillSwallowsItsRelease) {
    X11EventTap* tapPointer = nullptr;
    X11EventTap tap(connection, scheduler, [&](const KeyEvent& e) {
        if (e.type == KeyEvent::Type::keyDown && e.keyCode == 21) // "4" unlocks
            tapPointer->stop();
        return true;
    });
    tapPointer = &tap;
    ASSERT_TRUE(tap.start());
    // Press and hold, so the release comes after the handler has unlocked.
    ASSERT_EQ(test::run({"xdotool", "keydown", "4"}), 0);
    ASSERT_TRUE(test::waitUntil([&] {
        connection->dispatchPending();
        return !tap.isInstalled();
    }));
    ASSERT_EQ(test::run({"xdotool", "keyup", "4"}), 0);
    xcb_aux_sync();
    EXPECT_TRUE(victimKeys().empty()) << "the release of the last digit leaked";
    type({"5"});
    EXPECT_EQ(victimKeys(), (std::vector<std::string>{"press 14", "release 14"}));
}

TEST_F(EventTapX11, AKeyboardHeldElsewhereIsTakenAsSoonAsItIsFree) {
    ScopedLogCapture log;
    OtherClientGrab other;
    ASSERT_TRUE(other.held);
    EXPECT_TRUE(X11EventTap::isKeyboardGrabbedByAnotherClient(*connection));

    int changes = 0, keys = 0;
    X11EventTap tap(
        connection, scheduler,
        [&](const KeyEvent& e) {
            keys += e.type == KeyEvent::Type::keyDown;
            return true;
        },
        [] { return true; });
    tap.onStatusChanged = [&] { ++changes; };
    EXPECT_FALSE(tap.start());
    EXPECT_TRUE(tap.keyboardHeldElsewhere());
    EXPECT_TRUE(tap.isInstalled()) << "a refused tap stays installed and keeps trying";
    EXPECT_FALSE(tap.isHolding());
    EXPECT_EQ(log.messages("input"), std::vector<std::string>{"tapCreate failed, AXIsProcessTrusted=true"});

    // Ten tries a second, for as long as it takes, without a line each.
    scheduler.advance(Seconds(5));
    EXPECT_FALSE(tap.isHolding());
    EXPECT_EQ(log.messages("input").size(), 1u);
    EXPECT_EQ(changes, 0);

    other.release();
    scheduler.advance(Seconds(X11EventTap::retryInterval));
    EXPECT_TRUE(tap.isHolding()) << "taken at the next try";
    EXPECT_FALSE(tap.keyboardHeldElsewhere());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(log.messages("input").back(), "tap started");
    EXPECT_TRUE(X11EventTap::isKeyboardGrabbedByAnotherClient(*other.connection))
        << "the other client now finds the keyboard held";
    type({"7"});
    EXPECT_TRUE(victimKeys().empty()) << "keys after the recovery reach nobody else";
    EXPECT_EQ(keys, 1) << "and they reach the tap";
    tap.stop();
    type({"7"});
    EXPECT_EQ(victimKeys(), (std::vector<std::string>{"press 16", "release 16"}));
}

TEST_F(EventTapX11, ARetryHintTakesTheKeyboardWithoutWaitingForTheTimer) {
    OtherClientGrab other;
    ASSERT_TRUE(other.held);
    X11EventTap tap(connection, scheduler, [](const KeyEvent&) { return true; });
    EXPECT_FALSE(tap.start());
    other.release();
    tap.retryNow();
    EXPECT_TRUE(tap.isHolding());
    EXPECT_TRUE(tap.isEnabled());
    tap.stop();
    EXPECT_FALSE(tap.isEnabled());
}

TEST_F(EventTapX11, AKeyHeldAcrossTheStopNeverRepeatsIntoTheWindowBelow) {
    // Autorepeat after 50 ms, 50 a second, for this test only.
    ASSERT_EQ(test::run({"xset", "r", "rate", "50", "50"}), 0);
    struct RestoreRate {
        ~RestoreRate() { test::run({"xset", "r", "rate", "660", "25"}); }
    } restore;
    X11EventTap tap(connection, scheduler, [](const KeyEvent&) { return true; });
    ASSERT_TRUE(tap.start());
    ASSERT_EQ(test::run({"xdotool", "keydown", "5"}), 0);
    xcb_aux_sync();
    tap.stop();
    EXPECT_TRUE(tap.isDraining());
    // Repeats arrive while the key stays down; none may reach the victim.
    test::pumpEvents(400ms);
    connection->dispatchPending();
    EXPECT_TRUE(tap.isDraining()) << "an autorepeat is not a new key";
    scheduler.advance(Seconds(X11EventTap::drainCheckInterval));
    EXPECT_TRUE(tap.isDraining()) << "the server still reports the key down";
    ASSERT_EQ(test::run({"xdotool", "keyup", "5"}), 0);
    xcb_aux_sync();
    EXPECT_FALSE(tap.isDraining());
    EXPECT_TRUE(victimKeys().empty()) << "the held key or its repeats leaked";
    type({"6"});
    EXPECT_EQ(victimKeys(), (std::vector<std::string>{"press 15", "release 15"}));
}

TEST_F(EventTapX11, KeypadDigitsAreDigitsWithNumLockOff) {
    std::vector<KeyEvent> downs;
    X11EventTap tap(connection, scheduler, [&](const KeyEvent& e) {
        if (e.type == KeyEvent::Type::keyDown)
            downs.push_back(e);
        return true;
    });
    ASSERT_TRUE(tap.start());
    // The keypad's own keycodes (KP_1 = 87, KP_0 = 90 with evdev), Num Lock off in the test server.
    type({"--clearmodifiers", "87", "90"});
    ASSERT_TRUE(test::waitUntil([&] {
        connection->dispatchPending();
        return downs.size() >= 2;
    }));
    tap.stop();
    ASSERT_EQ(downs.size(), 2u);
    EXPECT_EQ(downs[0].keyCode, 83);
    EXPECT_EQ(downs[0].characters, "1");
    EXPECT_EQ(downs[1].keyCode, 82);
    EXPECT_EQ(downs[1].characters, "0");
}

TEST_F(EventTapX11, ThePointerGrabWaitsForAnotherClientAndThenHoldsThePointer) {
    ScopedLogCapture log;
    auto own = XConnection::open(); // stands in for the overlay's own connection
    OtherClientGrab other(true);
    ASSERT_TRUE(other.held);
    X11PointerGrab grab(own->get(), own->root(), scheduler);
    int changes = 0;
    grab.onStatusChanged = [&] { ++changes; };
    EXPECT_FALSE(grab.start());
    EXPECT_EQ(log.messages("input"), std::vector<std::string>{"pointer grab failed status=1, retrying"});
    scheduler.advance(Seconds(1));
    EXPECT_FALSE(grab.isHeld());
    other.release();
    scheduler.advance(Seconds(X11PointerGrab::retryInterval));
    EXPECT_TRUE(grab.isHeld());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(log.messages("input").back(), "pointer grab held");
    OtherClientGrab late(true);
    EXPECT_FALSE(late.held) << "nobody else gets the pointer while it is held";
    grab.stop();
    OtherClientGrab after(true);
    EXPECT_TRUE(after.held) << "released at stop";
}

TEST_F(HotKeyX11, FiresWithTheVictimFocusedAndReportsConflicts) {
    ScopedLogCapture log;
    HotKeyManager manager(std::make_unique<X11HotKeyBackend>(connection));
    int presses = 0;
    manager.onPressed = [&] { ++presses; };
    const HotKey key{37, {HotKeyModifiers::control | HotKeyModifiers::option}}; // ⌃⌥L
    ASSERT_TRUE(manager.registerHotKey(key));
    type({"ctrl+alt+l"});
    ASSERT_TRUE(test::waitUntil([&] {
        connection->dispatchPending();
        return presses == 1;
    }));
    type({"l", "ctrl+l"});
    EXPECT_EQ(presses, 1);
    auto keys = victimKeys();
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "press 46"), 2)
        << "plain L and ctrl+L still reach the window";

    // With Caps Lock on the shortcut still fires.
    type({"Caps_Lock", "ctrl+alt+l", "Caps_Lock"});
    ASSERT_TRUE(test::waitUntil([&] {
        connection->dispatchPending();
        return presses == 2;
    }));

    // Another client owns a combination: registration is refused with BadAccess (10).
    auto other = XConnection::open();
    xcb_grab_key(other->get(), 1, other->root(), KeyTranslation::controlMask | KeyTranslation::mod1Mask, 41,
                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC); // ⌃⌥F
    other->flush();
    xcb_aux_sync();
    EXPECT_FALSE(manager.registerHotKey(HotKey{3, {HotKeyModifiers::control | HotKeyModifiers::option}}));
    EXPECT_EQ(manager.current(), std::nullopt);
    EXPECT_EQ(log.messages("input").back(), "hotkey register failed status=10 key=⌃⌥F");
    ASSERT_TRUE(manager.refusal().has_value());
    EXPECT_TRUE(manager.refusal()->isTaken()) << "said as taken by another program";
}

TEST(HotKeyRecorderX11, AChordAnotherProgramGrabsReachesTheRecorderAndIsRefused) {
    test::widgetsApp(false);
    // Another program holds Ctrl+Alt+D the way window managers hold theirs: a passive grab, which
    // would take the chord before any window of ours saw it.
    auto other = XConnection::open();
    ASSERT_TRUE(other);
    xcb_grab_key(other->get(), 1, other->root(), KeyTranslation::controlMask | KeyTranslation::mod1Mask, 40,
                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    other->flush();
    HotKeyManager manager(std::make_unique<X11HotKeyBackend>(XConnection::open()));
    QWidget settings;
    settings.setObjectName(HotKeyRecorderView::settingsWindowName);
    auto* recorder = new HotKeyRecorderView(&settings);
    std::optional<HotKey> stored;
    recorder->get = [&] { return stored; };
    recorder->set = [&](const std::optional<HotKey>& hotKey) { stored = hotKey; };
    recorder->check = [&](const HotKey& hotKey) -> std::optional<std::string> {
        if (manager.registerHotKey(hotKey) || !manager.refusal())
            return std::nullopt;
        return HotKeyRecorderView::refusalText(*manager.refusal(), true);
    };
    settings.show();
    ASSERT_TRUE(
        test::waitUntil([&] { return settings.windowHandle() && settings.windowHandle()->isExposed(); }));
    recorder->startRecording();
    test::pumpEvents(50ms);

    ASSERT_EQ(test::run({"xdotool", "key", "ctrl+alt+d"}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return !recorder->messageLabel()->isHidden(); }))
        << "the chord never reached the recorder";
    EXPECT_EQ(recorder->messageLabel()->text(),
              "Ctrl+Alt+D is taken by another program. Press another shortcut.");
    EXPECT_TRUE(recorder->isRecording());
    EXPECT_EQ(stored, std::nullopt);

    ASSERT_EQ(test::run({"xdotool", "key", "ctrl+alt+k"}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return !recorder->isRecording(); }));
    EXPECT_EQ(stored, (HotKey{40, {HotKeyModifiers::control | HotKeyModifiers::option}})); // K
    EXPECT_EQ(manager.current(), stored) << "tried by registering it";
    // Once recording ends the keyboard is free again: another program can take it.
    OtherClientGrab after(false);
    EXPECT_TRUE(after.held);
}

TEST(ColorPanelX11, StandsBesideTheSettingsWindowNeverOverIt) {
    test::widgetsApp(false);
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect available = screen->availableGeometry();
    QWidget window;
    window.resize(900, 648);
    // Centred: no room for the panel on either side, so the window moves over.
    window.move(available.center() - window.rect().center());
    window.show();
    ASSERT_TRUE(test::waitUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));
    OverlayColorWell::present(&window);
    QColorDialog* panel = OverlayColorWell::sharedPanel();
    ASSERT_TRUE(test::waitUntil([&] { return panel->windowHandle() && panel->windowHandle()->isExposed(); }));
    test::pumpEvents(100ms);
    EXPECT_FALSE(panel->frameGeometry().intersects(window.frameGeometry()))
        << "panel " << panel->frameGeometry().x() << "," << panel->frameGeometry().width() << " window "
        << window.frameGeometry().x() << "," << window.frameGeometry().width();
    EXPECT_TRUE(available.contains(panel->frameGeometry())) << "on the window's display";
    EXPECT_TRUE(available.contains(window.frameGeometry()));
    EXPECT_EQ(panel->frameGeometry().top(), window.frameGeometry().top()) << "top-aligned";
    OverlayColorWell::hidePanel();
}

TEST_F(IdleTimeX11, GrowsAndResetsWithInput) {
    X11IdleTimeSource idle(connection);
    EXPECT_STREQ(idle.mechanism(), "screensaver");
    type({"shift"});
    const double right = idle.secondsSinceLastInput();
    EXPECT_LT(right, 1.0);
    test::pumpEvents(300ms);
    const double later = idle.secondsSinceLastInput();
    EXPECT_GT(later, right);
    ASSERT_EQ(test::run({"xdotool", "mousemove_relative", "1", "1"}), 0);
    EXPECT_LT(idle.secondsSinceLastInput(), later);
}

TEST(Permissions, AccessibilityIsARealX11SessionOnly) {
    ScopedLogCapture log;
    ASSERT_NE(std::getenv("DISPLAY"), nullptr);
    EXPECT_TRUE(Permissions::isAccessibilityTrusted());
    EXPECT_TRUE(Permissions::promptAccessibility());
    EXPECT_TRUE(Permissions::isScreenCaptureAllowed());
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1); // an XWayland session: grabs miss Wayland clients
    EXPECT_FALSE(Permissions::isAccessibilityTrusted());
    EXPECT_FALSE(Permissions::promptAccessibility());
    ::unsetenv("WAYLAND_DISPLAY");
    const std::string display = std::getenv("DISPLAY");
    ::unsetenv("DISPLAY");
    EXPECT_FALSE(Permissions::isAccessibilityTrusted());
    ::setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(log.messages("permissions"),
              (std::vector<std::string>{"accessibility prompt -> true", "accessibility prompt -> false"}));
}

// With an X server at hand (where the fallback could be used), a ScreenSaver cookie of
// 0xFFFFFFFF is still a D-Bus cookie: released through UnInhibit, not taken for the X11 fallback.
TEST(FreedesktopDisplaySleepX11, TheLargestCookieIsNotTheFallback) {
    test::qtApp();
    auto x11 = XConnection::open();
    ASSERT_TRUE(x11);
    test::PrivateBus bus;
    auto fakes = bus.startFakeServices(false, true);
    bus.control("SetNextCookie", {0xFFFFFFFFu});
    auto backend = std::make_shared<FreedesktopDisplaySleep>(bus.connect("session"), x11);
    PowerAssertion assertion(backend);
    assertion.start();
    EXPECT_STREQ(backend->mechanism(), "screensaver-inhibit");
    EXPECT_EQ(bus.control("Inhibits").toUInt(), 1u);
    assertion.release();
    EXPECT_EQ(bus.control("Inhibits").toUInt(), 0u) << "the inhibit was released, not leaked";
}
