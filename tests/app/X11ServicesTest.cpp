// The keyboard grab, the global shortcut and idle time on the real X server of the test
// session, with a victim window holding the focus and keys typed by xdotool.
#include "app/Log.h"
#include "platform/HotKeyManager.h"
#include "platform/Permissions.h"
#include "platform/fake/FakeScheduler.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11HotKeyBackend.h"
#include "platform/x11/X11IdleTimeSource.h"
#include "support/ChildProcess.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

using namespace tolva;
using namespace std::chrono_literals;
using test::ChildProcess;

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

TEST_F(EventTapX11, AnotherClientHoldingTheKeyboardMeansSecureInput) {
    ScopedLogCapture log;
    auto other = XConnection::open();
    ASSERT_TRUE(other);
    EXPECT_FALSE(X11EventTap::isKeyboardGrabbedByAnotherClient(*connection));
    auto grab =
        xreply(xcb_grab_keyboard_reply(other->get(),
                                       xcb_grab_keyboard(other->get(), 0, other->root(), XCB_CURRENT_TIME,
                                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                       nullptr));
    ASSERT_TRUE(grab);
    ASSERT_EQ(grab->status, XCB_GRAB_STATUS_SUCCESS);
    EXPECT_TRUE(X11EventTap::isKeyboardGrabbedByAnotherClient(*connection));

    X11EventTap tap(
        connection, scheduler, [](const KeyEvent&) { return true; }, std::nullopt, [] { return true; });
    EXPECT_FALSE(tap.start());
    EXPECT_TRUE(tap.keyboardHeldElsewhere());
    EXPECT_FALSE(tap.isInstalled());
    EXPECT_EQ(log.messages("input"), std::vector<std::string>{"tapCreate failed, AXIsProcessTrusted=true"});

    xcb_ungrab_keyboard(other->get(), XCB_CURRENT_TIME);
    other->flush();
    xcb_aux_sync();
    EXPECT_TRUE(tap.start());
    EXPECT_FALSE(tap.keyboardHeldElsewhere());
    tap.stop();
}

TEST_F(EventTapX11, LosingTheGrabWindowIsLoggedAndNoticed) {
    ScopedLogCapture log;
    // A grab window of the test's own, unmapped during the lock.
    xcb_connection_t* c = connection->get();
    xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, connection->root(), 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    connection->flush();
    X11EventTap tap(
        connection, scheduler, [](const KeyEvent&) { return true; }, window);
    ASSERT_TRUE(tap.start());
    xcb_unmap_window(c, window);
    connection->flush();
    ASSERT_TRUE(test::waitUntil([&] {
        connection->dispatchPending();
        auto lines = log.messages("input");
        return std::find(lines.begin(), lines.end(), "tap disabled by userInput, re-enabling") != lines.end();
    }));
    EXPECT_FALSE(tap.isEnabled()) << "an unmapped window cannot hold the keyboard";
    type({"7"});
    EXPECT_EQ(victimKeys(), (std::vector<std::string>{"press 16", "release 16"}));
    xcb_map_window(c, window);
    connection->flush();
    EXPECT_TRUE(tap.isEnabled()) << "mapped again, the keyboard is taken back";
    tap.stop();
    xcb_destroy_window(c, window);
    connection->flush();
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
