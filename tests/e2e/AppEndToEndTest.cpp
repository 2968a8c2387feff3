// The real tolva-screen on the test session's X server (two monitors), with a victim window
// holding the focus and keys typed by xdotool; everything is checked from outside.
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "overlay/ScreenSnapshotter.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "platform/x11/XConnection.h"
#include "support/ChildProcess.h"
#include "support/EndToEnd.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>

using namespace tolva;
using namespace std::chrono_literals;
using test::App;
using test::ChildProcess;
using test::magenta;
using test::share;
using test::type;

namespace {

struct EndToEnd : ::testing::Test {
    void SetUp() override {
        test::qtApp();
        ::setenv("TOLVA_LOG_STDERR", "1", 1);
        std::string why;
        keychain = SecretServiceKeychainBackend::connect(&why);
        ASSERT_TRUE(keychain) << why;
        pins = std::make_unique<KeychainPinStore>("org.tolva.Screen.pin", "pin", keychain);
        pins->remove();
    }
    void TearDown() override {
        app.reset();
        pins->remove();
    }
    void setUpUser(bool withPin) {
        if (withPin)
            pins->save(PinHasher::makeRecord("4829"));
        Preferences prefs(JsonFileDefaultsStore::standard());
        prefs.setHasCompletedOnboarding(withPin);
        prefs.setOverlayContentMode(OverlayContentMode::solidColor);
        prefs.setOverlayColor(SRGBColor(1, 0, 1));
        prefs.setAnimations({});
    }

    std::shared_ptr<SecretServiceKeychainBackend> keychain;
    std::unique_ptr<KeychainPinStore> pins;
    std::unique_ptr<App> app;
};

} // namespace

TEST_F(EndToEnd, LockCoversBothDisplaysBlocksKeysAndOnlyThePinUnlocks) {
    setUpUser(true);
    ChildProcess victim({TOLVA_VICTIM});
    ASSERT_TRUE(victim.waitFor("ready", 5s));
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0.5"});
    ASSERT_TRUE(app->waitFor("ui info: will lock in 0.5s \\(launch argument\\)")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background tap=true secureInput=false frontmost=.*"))
        << app->transcript();
    EXPECT_TRUE(app->saw("lock info: lock begin reason=launch argument mode=solidColor .* screens=2 .*"));
    test::waitUntil(
        [] { return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta) == 1.0; });
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta), 1.0)
        << "both displays covered";

    // The panel comes up on the display under the pointer.
    ASSERT_EQ(test::run({"xdotool", "mousemove", "2880", "300"}), 0);
    type({"1"});
    ASSERT_TRUE(app->waitFor("lock info: taking foreground: input .*")) << app->transcript();
    test::pumpEvents(400ms);
    const QRect rightCentre(2880 - 120, 540 - 80, 240, 161), leftCentre(960 - 120, 540 - 80, 240, 161);
    EXPECT_LT(share(X11ScreenCapture::captureRegion(rightCentre), magenta), 0.5)
        << "panel on the right display";
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(leftCentre), magenta), 1.0) << "nothing on the left one";
    ASSERT_EQ(test::run({"xdotool", "mousemove", "960", "300"}), 0);
    test::waitUntil([&] { return share(X11ScreenCapture::captureRegion(leftCentre), magenta) < 0.5; });
    EXPECT_LT(share(X11ScreenCapture::captureRegion(leftCentre), magenta), 0.5)
        << "the panel followed the pointer";

    // "1" was the first digit: three more make a wrong PIN.
    type({"1", "1", "1"});
    ASSERT_TRUE(app->waitFor("auth info: auth rejected via tap failures=1 lockout=0s")) << app->transcript();
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via (tap|window) after \\d+s"))
        << app->transcript();
    test::waitUntil(
        [] { return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta) < 0.01; });
    EXPECT_LT(share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta), 0.01)
        << "windows gone";
    EXPECT_TRUE(victim.drainLines().empty()) << "a key of the lock reached the focused window";
    type({"5"});
    EXPECT_TRUE(victim.waitFor("press 14", 3s)) << "the victim gets keys again" << app->transcript();
}

TEST_F(EndToEnd, QuitIsRefusedWhileLocked) {
    setUpUser(true);
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    app->process().signal(SIGTERM);
    ASSERT_TRUE(app->waitFor("lock error: terminate request blocked while locked")) << app->transcript();
    EXPECT_TRUE(app->process().isRunning());
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    app->process().signal(SIGTERM);
    EXPECT_EQ(app->process().waitForExit(5s), 0);
    // With the overlay gone the keyboard focus is somewhere again, not on nothing, so keys and
    // the next program's global shortcut still arrive.
    auto x11 = XConnection::open();
    ASSERT_TRUE(x11);
    auto focus = xreply(xcb_get_input_focus_reply(x11->get(), xcb_get_input_focus(x11->get()), nullptr));
    ASSERT_TRUE(focus);
    EXPECT_NE(focus->focus, static_cast<xcb_window_t>(XCB_NONE));
}

TEST_F(EndToEnd, OnlyOneInstanceRuns) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(
        app->waitFor("ui info: launched pid=\\d+ version=\\d+\\.\\d+\\.\\d+ ax=true pin=true screens=2 .*"))
        << app->transcript();
    App second;
    EXPECT_EQ(second.process().waitForExit(10s), 0);
    EXPECT_TRUE(second.saw("ui info: another instance running pid=\\d+; exiting")) << second.transcript();
    EXPECT_TRUE(second.saw("the running Tolva Screen \\(pid \\d+\\) shows its window"))
        << second.transcript();
    EXPECT_TRUE(app->waitFor("ui info: window requested over D-Bus", 3s)) << app->transcript();
    app.reset();

    // Two launches at once: exactly one stays.
    App a, b;
    test::pumpEvents(1500ms);
    const bool aRuns = a.process().isRunning(), bRuns = b.process().isRunning();
    EXPECT_NE(aRuns, bRuns) << a.transcript() << "----\n" << b.transcript();
    App& loser = aRuns ? b : a;
    EXPECT_TRUE(loser.saw("ui info: another instance running pid=\\d+; exiting")) << loser.transcript();
}

// The command line and D-Bus reach the running program; what they did is seen from another
// X client (the screen turns magenta) and in what the command prints.
TEST_F(EndToEnd, LockFromTheCommandLineAndDBus) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    // Both displays covered; the band above the middle, where the unlock panel may come up
    // when something moves the pointer.
    const auto covered = [] {
        return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 300)), magenta) == 1.0;
    };
    const auto unlock = [&] {
        type({"4", "8", "2", "9"});
        ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
        app->seen.clear();
    };

    App lockNow({"--lock"});
    EXPECT_EQ(lockNow.process().waitForExit(10s), 0) << lockNow.transcript();
    EXPECT_TRUE(lockNow.saw("the running Tolva Screen \\(pid \\d+\\) turned the overlay on"))
        << lockNow.transcript();
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=dbus .*")) << app->transcript();
    EXPECT_TRUE(test::waitUntil(covered, 5s)) << "the overlay is up" << app->transcript();
    const std::vector<std::string> getLocked{"gdbus",
                                             "call",
                                             "--session",
                                             "--dest",
                                             "org.tolva.Screen",
                                             "--object-path",
                                             "/org/tolva/Screen",
                                             "--method",
                                             "org.freedesktop.DBus.Properties.Get",
                                             "org.tolva.Screen",
                                             "Locked"};
    {
        ChildProcess get(getLocked);
        EXPECT_EQ(get.readLine(5s, false), "(<true>,)");
    }
    unlock();

    ASSERT_EQ(test::run({"gdbus", "call", "--session", "--dest", "org.tolva.Screen", "--object-path",
                         "/org/tolva/Screen", "--method", "org.tolva.Screen.Lock"}),
              0);
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(test::waitUntil(covered, 5s)) << app->transcript();
    unlock();
    {
        ChildProcess get(getLocked);
        EXPECT_EQ(get.readLine(5s, false), "(<false>,)");
    }

    App later({"--lock-in", "1"});
    EXPECT_EQ(later.process().waitForExit(10s), 0) << later.transcript();
    EXPECT_TRUE(later.saw("the running Tolva Screen \\(pid \\d+\\) turns the overlay on in 1.0s"))
        << later.transcript();
    ASSERT_TRUE(app->waitFor("ui info: will lock in 1.0s \\(D-Bus\\)")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    unlock();

    // A command the running program cannot carry out fails loudly.
    App wrong({"--lock-in", "soon"});
    EXPECT_EQ(wrong.process().waitForExit(10s), 2) << wrong.transcript();
    pins->remove();
    app->process().signal(SIGTERM);
    ASSERT_EQ(app->process().waitForExit(5s), 0);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.* pin=false .*")) << app->transcript();
    App refused({"--lock"});
    EXPECT_EQ(refused.process().waitForExit(10s), 1) << refused.transcript();
    EXPECT_TRUE(
        refused.saw("tolva-screen: the running Tolva Screen \\(pid \\d+\\) did not turn the overlay on: "
                    "No PIN set"))
        << refused.transcript();
}

TEST_F(EndToEnd, LockWithNoneRunningStartsTheProgramAndLocks) {
    setUpUser(true);
    app = std::make_unique<App>(std::vector<std::string>{"--lock"});
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=launch argument .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(app->process().isRunning()) << "the first start is the program";
    type({"4", "8", "2", "9"});
    EXPECT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
}

// Two desktop sessions of one user (a local one and a remote one beside it) each run their own.
TEST_F(EndToEnd, SessionsWithDifferentBusesDoNotSeeEachOther) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    test::PrivateBus otherSession;
    const std::string ownBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", otherSession.address().toStdString().c_str(), 1);
    App beside;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ownBus.c_str(), 1);
    EXPECT_TRUE(beside.waitFor("ui info: launched pid=.*")) << beside.transcript();
    EXPECT_FALSE(beside.saw(".*another instance running.*")) << beside.transcript();
    EXPECT_TRUE(beside.process().isRunning());
}

TEST_F(EndToEnd, MalformedLockInDoesNothing) {
    setUpUser(true);
    for (auto arguments :
         {std::vector<std::string>{"--lock-in", "abc"}, std::vector<std::string>{"--lock-in"}}) {
        app = std::make_unique<App>(arguments);
        ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
        test::pumpEvents(1500ms);
        EXPECT_FALSE(app->saw(".*will lock in.*")) << app->transcript();
        EXPECT_FALSE(app->saw(".*lock begin.*")) << app->transcript();
        app.reset();
    }
}

TEST_F(EndToEnd, FirstLaunchShowsOnboarding) {
    setUpUser(false);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=\\d+ .* pin=false .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("ui info: dock icon shown")) << app->transcript();
    EXPECT_TRUE(test::waitUntil(
        [] {
            return test::run({"xdotool", "search", "--onlyvisible", "--name", "^Tolva Screen$"}) == 0;
        },
        5s));
}

TEST_F(EndToEnd, TrayMenuTurnsTheOverlayOn) {
    setUpUser(true);
    ChildProcess tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                       "24", "--transparent", "false"},
                      true);
    ASSERT_TRUE(test::waitUntil(
        [] {
            return test::run({"xdotool", "search", "--class", "trayer"}) == 0;
        },
        5s));
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    test::pumpEvents(500ms);
    EXPECT_FALSE(app->saw(".*no system tray available.*")) << app->transcript();
    // The icon sits in the tray's window; a click opens the menu, the first item turns the overlay on.
    int x = -1, y = -1, width = 0, height = 0;
    ChildProcess windows({"xdotool", "search", "--class", "trayer"});
    std::vector<std::string> ids;
    while (auto line = windows.readLine(2s, false))
        ids.push_back(*line);
    for (const auto& id : ids) { // the panel, not trayer's small helper windows
        ChildProcess geometry({"xdotool", "getwindowgeometry", "--shell", id});
        int gx = -1, gy = -1, gw = 0, gh = 0;
        while (auto line = geometry.readLine(2s, false)) {
            std::sscanf(line->c_str(), "X=%d", &gx);
            std::sscanf(line->c_str(), "Y=%d", &gy);
            std::sscanf(line->c_str(), "WIDTH=%d", &gw);
            std::sscanf(line->c_str(), "HEIGHT=%d", &gh);
        }
        if (gw >= 20 && gx >= 0) {
            x = gx, y = gy, width = gw, height = gh;
        }
    }
    ASSERT_GE(x, 0);
    // On a busy machine the menu may open late: try the click and the keys a few times.
    bool locked = false;
    for (int attempt = 0; attempt < 5 && !locked; ++attempt) {
        ASSERT_EQ(test::run({"xdotool", "mousemove", std::to_string(x + width - 12),
                             std::to_string(y + height / 2), "click", "1"}),
                  0);
        test::pumpEvents(700ms);
        type({"Down", "Return"});
        locked = app->waitFor("lock info: lock begin reason=menu mode=solidColor .*", 2s);
    }
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=menu mode=solidColor .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    type({"4", "8", "2", "9"});
    EXPECT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
}

TEST_F(EndToEnd, TheShortcutFromThePreferencesTurnsTheOverlayOn) {
    setUpUser(true);
    Preferences(JsonFileDefaultsStore::standard())
        .setLockHotKey(HotKey{37, {HotKeyModifiers::control | HotKeyModifiers::option}}); // ⌃⌥L
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("input info: hotkey registered ⌃⌥L")) << app->transcript();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    type({"ctrl+alt+l"});
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=hotkey .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    // A changed preference is followed at once (the running program sees the file change at
    // its next read, which the periodic refresh makes within seconds).
    Preferences(JsonFileDefaultsStore::standard()).setLockHotKey(std::nullopt);
}
