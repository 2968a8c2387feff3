// The real tolva-screen on the test display with a window manager, attacked the way another
// program of the user could: holding the keyboard or the pointer when the lock starts,
// unmapping, moving, resizing, lowering and out-raising the overlay, and asking the session
// bus for an unlock it has no right to. Everything is checked from outside.
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "platform/x11/X11ScreenCapture.h"
#include "support/EndToEnd.h"
#include "support/OtherClient.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include <sys/stat.h>

using namespace tolva;
using namespace std::chrono_literals;
using test::App;
using test::ChildProcess;
using test::magenta;
using test::OtherClientGrab;
using test::share;
using test::type;

namespace {

const QRect wholeScreen(0, 0, 3840, 1080);

bool covered() {
    return share(X11ScreenCapture::captureRegion(wholeScreen), magenta) == 1.0;
}

struct LockHolding : ::testing::Test {
    void SetUp() override {
        test::qtApp();
        ::setenv("TOLVA_LOG_STDERR", "1", 1);
        std::string why;
        keychain = SecretServiceKeychainBackend::connect(&why);
        ASSERT_TRUE(keychain) << why;
        pins = std::make_unique<KeychainPinStore>("org.tolva.Screen.pin", "pin", keychain);
        pins->save(PinHasher::makeRecord("4829"));
        Preferences prefs(JsonFileDefaultsStore::standard());
        prefs.setHasCompletedOnboarding(true);
        prefs.setOverlayContentMode(OverlayContentMode::solidColor);
        prefs.setOverlayColor(SRGBColor(1, 0, 1));
        prefs.setAnimations({});
        x11 = XConnection::open();
        ASSERT_TRUE(x11);
        // A real window manager, as on a desktop: it frames the victim and binds Alt+Tab.
        windowManager =
            std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"}, true);
        ASSERT_TRUE(test::waitUntil([&] { return hasWindowManager(); }, 5s)) << "openbox did not start";
        victim = std::make_unique<ChildProcess>(std::vector<std::string>{TOLVA_VICTIM});
        auto ready = victim->readLine(5s);
        ASSERT_TRUE(ready && ready->starts_with("ready ")) << "the victim window never got the focus";
        // The window manager has made it the active window, as a user's window would be.
        victimWindow = static_cast<xcb_window_t>(std::stoul(ready->substr(6)));
        ASSERT_TRUE(test::waitUntil([&] { return activeWindow() == victimWindow; }, 5s))
            << "never the active window";
    }
    void TearDown() override {
        app.reset();
        victim.reset();
        windowManager.reset();
        ASSERT_TRUE(test::waitUntil([&] { return !hasWindowManager(); }, 5s)) << "openbox did not stop";
        pins->remove();
    }

    // A window-valued property of the root window (XCB_NONE when it is not set).
    xcb_window_t rootWindowProperty(const std::string& name) {
        xcb_connection_t* c = x11->get();
        auto atom = xreply(xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.c_str()), nullptr));
        auto reply = xreply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, x11->root(), atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr));
        if (!reply || xcb_get_property_value_length(reply.get()) != 4)
            return XCB_NONE;
        return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    }
    xcb_window_t activeWindow() { return rootWindowProperty("_NET_ACTIVE_WINDOW"); }
    bool hasWindowManager() {
        const xcb_window_t check = rootWindowProperty("_NET_SUPPORTING_WM_CHECK");
        if (check == XCB_NONE)
            return false;
        // A window manager that has gone leaves the property behind: its window must exist.
        xcb_connection_t* c = x11->get();
        return xreply(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, check), nullptr)) !=
               nullptr;
    }

    void lockNow() {
        app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
        ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
        ASSERT_TRUE(test::waitUntil(covered, 5s)) << "both displays covered";
    }
    void unlockWithThePin() {
        type({"4", "8", "2", "9"});
        ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    }

    // The overlay windows, found the way another program would find them: among the top-level
    // windows.
    std::vector<xcb_window_t> overlayWindows() {
        std::vector<xcb_window_t> found;
        collectOverlayWindows(x11->root(), found);
        return found;
    }
    void collectOverlayWindows(xcb_window_t parent, std::vector<xcb_window_t>& found) {
        xcb_connection_t* c = x11->get();
        auto tree = xreply(xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr));
        if (!tree)
            return;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            auto name = xreply(xcb_get_property_reply(
                c, xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
                nullptr));
            auto attributes = xreply(
                xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
            if (name && attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                std::string(static_cast<const char*>(xcb_get_property_value(name.get())),
                            xcb_get_property_value_length(name.get())) == "Tolva Screen overlay")
                found.push_back(children[i]);
        }
    }

    // The middle of the victim's window, wherever the window manager placed it.
    std::pair<std::string, std::string> victimMiddle() {
        xcb_connection_t* c = x11->get();
        auto at = xreply(xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, victimWindow, x11->root(), 150, 100), nullptr));
        return {std::to_string(at ? at->dst_x : 250), std::to_string(at ? at->dst_y : 200)};
    }

    std::vector<std::string> victimInput() {
        test::pumpEvents(100ms);
        return victim->drainLines();
    }

    std::shared_ptr<SecretServiceKeychainBackend> keychain;
    std::unique_ptr<KeychainPinStore> pins;
    std::shared_ptr<XConnection> x11;
    std::unique_ptr<ChildProcess> windowManager;
    std::unique_ptr<ChildProcess> victim;
    xcb_window_t victimWindow = XCB_NONE;
    std::unique_ptr<App> app;
};

} // namespace

TEST_F(LockHolding, AKeyboardHeldByAnotherProgramIsTakenTheMomentItIsFree) {
    OtherClientGrab other;
    ASSERT_TRUE(other.held);
    lockNow();
    EXPECT_TRUE(app->saw("lock info: lock begin reason=.* secureInput=true screens=.*")) << app->transcript();
    EXPECT_TRUE(app->saw("lock info: locked in background tap=false secureInput=true frontmost=.*"))
        << app->transcript();
    EXPECT_TRUE(app->saw("input error: tapCreate failed, AXIsProcessTrusted=true")) << app->transcript();
    type({"a", "b", "c"}); // these go to the program holding the keyboard, not to the victim

    other.release();
    ASSERT_TRUE(app->waitFor("input info: tap started", 3s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("input error: tap running", 3s)) << app->transcript();
    // The window manager's window switcher, then keys: none may reach the window below.
    type({"alt+Tab", "a", "b", "c", "Escape"});
    unlockWithThePin();
    EXPECT_TRUE(victimInput().empty()) << "a key of the lock reached the covered window";
    type({"5"});
    EXPECT_TRUE(victim->waitFor("press 14", 3s)) << "the victim gets keys again" << app->transcript();
}

TEST_F(LockHolding, APointerHeldByAnotherProgramIsTakenTheMomentItIsFree) {
    OtherClientGrab other(true);
    ASSERT_TRUE(other.held);
    lockNow();
    ASSERT_TRUE(app->waitFor("input error: pointer grab failed status=1, retrying")) << app->transcript();
    other.release();
    ASSERT_TRUE(app->waitFor("input info: pointer grab held", 3s)) << app->transcript();
    // Clicks where the victim's window lies under the overlay.
    const auto [x, y] = victimMiddle();
    ASSERT_EQ(test::run({"xdotool", "mousemove", x, y, "click", "1", "click", "3"}), 0);
    ASSERT_TRUE(app->waitFor("lock info: taking foreground: input .*")) << app->transcript();
    EXPECT_TRUE(victimInput().empty()) << "a click of the lock reached the covered window";
    OtherClientGrab late(true);
    EXPECT_FALSE(late.held) << "nobody else gets the pointer during the lock";
    unlockWithThePin();
    ASSERT_EQ(test::run({"xdotool", "mousemove", x, y, "click", "1"}), 0);
    EXPECT_TRUE(victim->waitFor("click 1", 3s)) << "clicks reach the victim again";
}

TEST_F(LockHolding, TheCoverIsPutBackWhateverAnotherClientDoesToIt) {
    lockNow();
    auto windows = overlayWindows();
    ASSERT_EQ(windows.size(), 2u);
    xcb_connection_t* c = x11->get();
    struct Attack {
        const char* what;
        std::function<void(xcb_window_t)> act;
    };
    const std::uint32_t far[] = {6000, 6000};
    const std::uint32_t tiny[] = {1, 1};
    const std::uint32_t below[] = {XCB_STACK_MODE_BELOW};
    const std::vector<Attack> attacks{
        {"unmap", [&](xcb_window_t w) { xcb_unmap_window(c, w); }},
        {"move",
         [&](xcb_window_t w) { xcb_configure_window(c, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, far); }},
        {"resize",
         [&](xcb_window_t w) {
             xcb_configure_window(c, w, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, tiny);
         }},
        {"lower", [&](xcb_window_t w) { xcb_configure_window(c, w, XCB_CONFIG_WINDOW_STACK_MODE, below); }},
        {"circulate",
         [&](xcb_window_t) { xcb_circulate_window(c, XCB_CIRCULATE_LOWER_HIGHEST, x11->root()); }},
        {"reparent", [&](xcb_window_t w) { xcb_reparent_window(c, w, x11->root(), 0, 0); }},
    };
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.what);
        for (xcb_window_t w : overlayWindows())
            attack.act(w);
        x11->flush();
        EXPECT_TRUE(test::waitUntil(covered, 2s)) << "a display stayed uncovered";
    }
    EXPECT_TRUE(app->saw("lock error: overlay window unmapped by another client, mapping it again"));
    EXPECT_TRUE(app->saw("lock error: overlay window moved by another client, putting it back"));
    EXPECT_EQ(overlayWindows().size(), 2u);
    unlockWithThePin();
    EXPECT_TRUE(victimInput().empty());
}

TEST_F(LockHolding, DisplaysThatChangeWhileLockedStayCoveredThroughout) {
    ASSERT_NO_FATAL_FAILURE(lockNow());
    const std::vector<std::string> sessionLayout{
        "xrandr", "--delmonitor",          "LEFT",   "--delmonitor", "RIGHT", "--setmonitor",
        "LEFT",   "1920/508x1080/286+0+0", "screen", "--setmonitor", "RIGHT", "1920/508x1080/286+1920+0",
        "none"};
    // The session's two monitors come back whatever happens here.
    struct Restore {
        const std::vector<std::string>& layout;
        ~Restore() {
            test::run({"xrandr", "--delmonitor", "MIDDLE"}); // refused when there is none
            test::run(layout);
        }
    } restore{sessionLayout};
    const std::vector<std::pair<std::string, std::vector<std::string>>> changes{
        {"split moved",
         {"xrandr", "--delmonitor", "LEFT", "--delmonitor", "RIGHT", "--setmonitor", "LEFT",
          "2560/677x1080/286+0+0", "screen", "--setmonitor", "RIGHT", "1280/339x1080/286+2560+0", "none"}},
        {"three monitors",
         {"xrandr", "--delmonitor", "LEFT", "--delmonitor", "RIGHT", "--setmonitor", "LEFT",
          "1280/339x1080/286+0+0", "screen", "--setmonitor", "MIDDLE", "1280/339x1080/286+1280+0", "none",
          "--setmonitor", "RIGHT", "1280/339x1080/286+2560+0", "none"}},
        {"back as they were",
         [&] {
             auto back = sessionLayout;
             back.insert(back.begin() + 1, {"--delmonitor", "MIDDLE"});
             return back;
         }()},
    };
    for (const auto& [what, command] : changes) {
        SCOPED_TRACE(what);
        app->mark();
        test::ChildProcess change(command);
        // A line across every display, looked at as often as the server answers, until the
        // program has rebuilt its windows and a while after.
        int samples = 0, bare = 0;
        std::optional<std::chrono::steady_clock::time_point> rebuilt;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            ++samples;
            if (share(X11ScreenCapture::captureRegion(QRect(0, 540, 3840, 1)), magenta) < 1.0)
                ++bare;
            if (!rebuilt && app->sawSinceMark("lock info: overlay windows: .*"))
                rebuilt = std::chrono::steady_clock::now();
            if (rebuilt && std::chrono::steady_clock::now() - *rebuilt > 700ms)
                break;
        }
        ASSERT_TRUE(rebuilt) << "the change was never acted on\n" << app->transcript();
        EXPECT_EQ(bare, 0) << "of " << samples << " looks, these showed something besides the overlay\n"
                           << app->transcript();
        EXPECT_TRUE(covered());
    }
    unlockWithThePin();
}

TEST_F(LockHolding, AWindowThatRaisesItselfNeverStaysAboveTheOverlay) {
    lockNow();
    constexpr QRgb green = qRgb(0, 255, 0);
    test::SelfRaisingWindow intruder(300, 300, 200, 200, 0x00FF00, 10ms);
    ASSERT_TRUE(test::waitUntil([&] { return intruder.ready(); }));
    // Sample the intruder's place for a second: it may flash, but never stays up for 100 ms.
    const QRect spot(350, 350, 100, 100);
    int visibleInARow = 0, longest = 0, samples = 0;
    const auto start = std::chrono::steady_clock::now();
    auto lastVisibleStart = start;
    while (std::chrono::steady_clock::now() - start < 1s) {
        const auto now = std::chrono::steady_clock::now();
        const bool visible = share(X11ScreenCapture::captureRegion(spot), green) > 0.5;
        if (visible) {
            if (visibleInARow++ == 0)
                lastVisibleStart = now;
            longest = std::max<int>(
                longest,
                int(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastVisibleStart).count()));
        } else {
            visibleInARow = 0;
        }
        ++samples;
    }
    EXPECT_GT(samples, 20);
    EXPECT_GT(intruder.raises(), 10) << "the intruder really fought";
    EXPECT_LT(longest, 100) << "the intruder stayed above the overlay for " << longest << " ms";
    unlockWithThePin();
}

TEST_F(LockHolding, AKeyHeldAcrossTheUnlockNeverReachesTheWindowBelow) {
    ASSERT_EQ(test::run({"xset", "r", "rate", "100", "50"}), 0);
    struct RestoreRate {
        ~RestoreRate() { test::run({"xset", "r", "rate", "660", "25"}); }
    } restore;
    lockNow();
    type({"4", "8", "2"});
    ASSERT_EQ(test::run({"xdotool", "keydown", "9"}), 0); // the last digit unlocks on its press
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    test::pumpEvents(600ms); // held: the server repeats it
    ASSERT_EQ(test::run({"xdotool", "keyup", "9"}), 0);
    EXPECT_TRUE(victimInput().empty()) << "the held key or its repeats reached the covered window";
    type({"5"});
    EXPECT_TRUE(victim->waitFor("press 14", 3s)) << app->transcript();
}

TEST_F(LockHolding, OnlyAConfirmedSessionLockEndsTheOverlay) {
    // logind on a bus of the test's own, saying "not locked" until told otherwise.
    test::PrivateBus systemBus;
    auto fakes = systemBus.startFakeServices(true, false);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address().toUtf8().constData(), 1);
    lockNow();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    systemBus.control("EmitLock"); // a request anyone may send
    ASSERT_TRUE(app->waitFor("lock info: session lock requested but the session is not locked; ignored"))
        << app->transcript();
    EXPECT_TRUE(covered()) << "a bare Lock request ended the overlay";
    // logind's name owner announcing LockedHint true while the property says false.
    systemBus.control("AnnounceLockedHint", {true});
    ASSERT_TRUE(app->waitFor("lock info: session LockedHint changed but the session is not locked; ignored"))
        << app->transcript();
    EXPECT_TRUE(covered()) << "a LockedHint signal ended the overlay without the property";
    EXPECT_FALSE(app->saw(".*unlocked reason=.*"));
    systemBus.control("SetLockedHint", {true}); // the session's own locker is up
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=system screen locked after \\d+s"))
        << app->transcript();
    EXPECT_TRUE(victimInput().empty());
}

namespace {

// Black (the guard's cover) or the program's magenta everywhere but where the unlock panel may
// be, in the middle of a display.
bool coveredByTheGuardOrTheProgram() {
    for (const QRect& band : {QRect(0, 0, 3840, 380), QRect(0, 700, 3840, 380)}) {
        const QImage image = X11ScreenCapture::captureRegion(band);
        if (share(image, qRgb(0, 0, 0)) + share(image, magenta) < 0.999)
            return false;
    }
    return true;
}

std::filesystem::path lockStateFile() {
    return std::filesystem::path(std::getenv("XDG_RUNTIME_DIR")) / "tolva-screen" / "lock-state.json";
}

} // namespace

// The overlay's X connection killed by another client, which then grabs the keyboard in a loop to
// read the PIN: the guard held the keyboard all along, the overlay windows outlive their
// connection, and the program comes back locked.
TEST_F(LockHolding, AKilledConnectionAndAGrabbingLoopGetNoKey) {
    lockNow();
    auto windows = overlayWindows();
    ASSERT_FALSE(windows.empty());
    test::GrabbingLoop thief;
    ASSERT_TRUE(test::waitUntil([&] { return thief.tries() > 10; }));
    xcb_kill_client(x11->get(), windows.front());
    x11->flush();
    ASSERT_TRUE(
        app->waitFor("lock error: guard: program ended while locked; screen covered, keyboard=true .*"))
        << app->transcript();
    EXPECT_TRUE(coveredByTheGuardOrTheProgram()) << "the overlay went with its connection";
    type({"1", "2", "3"});
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=.*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: cover handed back to the program, keyboard kept for it"))
        << app->transcript();
    EXPECT_EQ(thief.wins(), 0) << "another client got the keyboard during the lock";
    EXPECT_EQ(thief.keys(), 0);
    type({"Escape"});
    unlockWithThePin();
    EXPECT_TRUE(victimInput().empty());
}

// Keys typed as fast as they come while the locked program is killed: not one reaches the window
// below (the full count over many kills is the lock benchmark's).
TEST_F(LockHolding, KeysTypedAcrossACrashReachNobody) {
    lockNow();
    {
        test::FastTypist typist;
        ASSERT_TRUE(test::waitUntil([&] { return typist.typed() > 50; }));
        app->process().signal(SIGKILL);
        ASSERT_TRUE(app->waitFor("lock error: guard: program ended while locked; screen covered, .*"))
            << app->transcript();
        ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=.*")) << app->transcript();
        typist.stop();
        EXPECT_GT(typist.typed(), 100);
    }
    const auto leaked = victimInput();
    EXPECT_TRUE(leaked.empty()) << leaked.size()
                                << " keys reached the covered window, the first: " << leaked.front();
    ASSERT_TRUE(app->waitFor("lock info: guard: cover handed back to the program, keyboard kept for it"))
        << app->transcript();
    type({"Escape"});
    unlockWithThePin();
}

// Program and guard killed together: the overlay stays where it was (the keyboard is free then,
// which is the one thing such a kill can do), and the next start of the program takes the overlay
// over and asks for the PIN.
TEST_F(LockHolding, ACoverLeftByAProgramAndGuardKilledTogetherIsTakenOverByTheNextStart) {
    lockNow();
    const auto guards = app->pidsFrom("lock info: guard started pid=(\\d+)");
    ASSERT_EQ(guards.size(), 1u);
    // Both at once: the program cannot start another guard in between.
    app->process().signal(SIGSTOP);
    ::kill(guards.front(), SIGKILL);
    app->process().signal(SIGKILL);
    app->process().waitForExit(5s);
    test::pumpEvents(300ms);
    EXPECT_TRUE(covered()) << "the screen was uncovered when both were killed";
    app = std::make_unique<App>(std::vector<std::string>{});
    ASSERT_TRUE(
        app->waitFor("lock error: an overlay left behind still covers the screen; the lock is taken back"))
        << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    unlockWithThePin();
    EXPECT_TRUE(test::waitUntil([] { return !covered(); }, 5s)) << "the old cover stayed after the unlock";
}

TEST_F(LockHolding, AProgramThatDiesWhileLockedComesBackLockedBehindTheGuard) {
    for (int signal : {SIGKILL, SIGSEGV}) {
        SCOPED_TRACE(signal);
        lockNow();
        ASSERT_TRUE(app->saw("lock info: guard started pid=\\d+")) << app->transcript();
        EXPECT_TRUE(std::filesystem::exists(lockStateFile())) << "the lock is kept where a restart finds it";
        type({"1", "1", "1", "1"});
        ASSERT_TRUE(app->waitFor("auth info: auth rejected via tap failures=1 lockout=0s"))
            << app->transcript();

        app->process().signal(signal);
        ASSERT_TRUE(app->waitFor("lock error: guard: program ended while locked; screen covered, .*"))
            << app->transcript();
        EXPECT_TRUE(coveredByTheGuardOrTheProgram()) << "a display was uncovered after the crash";
        // The guard held the keyboard for the program all along: keys typed now reach nobody.
        EXPECT_TRUE(
            app->saw("lock error: guard: program ended while locked; screen covered, keyboard=true .*"));
        ASSERT_TRUE(app->waitFor("lock info: guard: keyboard and pointer held")) << app->transcript();
        type({"a", "b"});
        ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=1")) << app->transcript();
        ASSERT_TRUE(app->waitFor("lock info: guard: cover handed back to the program, keyboard kept for it"))
            << app->transcript();
        ASSERT_TRUE(app->waitFor("input info: tap started")) << app->transcript();
        EXPECT_TRUE(test::waitUntil([] {
            // Magenta everywhere but where the unlock panel may be.
            for (const QRect& band : {QRect(0, 0, 3840, 380), QRect(0, 700, 3840, 380)})
                if (share(X11ScreenCapture::captureRegion(band), magenta) < 1.0)
                    return false;
            return true;
        })) << "the program's own overlay is back";

        type({"Escape", "1", "1", "1", "1"});
        EXPECT_TRUE(app->waitFor("auth info: auth rejected via tap failures=2 lockout=0s"))
            << "the wrong-PIN count survived the crash\n"
            << app->transcript();
        unlockWithThePin();
        const auto leaked = victimInput();
        EXPECT_TRUE(leaked.empty()) << "a key reached the covered window around the crash: " << leaked.front()
                                    << "\n"
                                    << app->transcript();
        EXPECT_FALSE(std::filesystem::exists(lockStateFile())) << "an unlock leaves no lock state";

        // A clean quit of the program started again ends its guard too.
        const auto restarted = app->pidsFrom("lock info: guard: program started again pid=(\\d+)");
        ASSERT_EQ(restarted.size(), 1u);
        ::kill(restarted.front(), SIGTERM);
        const auto guards = app->pidsFrom("lock info: guard started pid=(\\d+)");
        ASSERT_EQ(guards.size(), 1u);
        EXPECT_TRUE(test::waitUntil([&] { return ::kill(guards.front(), 0) != 0; }, 5s))
            << "the guard stayed";
        app.reset();
    }
}

namespace {

// The lock state, spoiled while locked the ways another program of the user could.
struct SpoiledState {
    std::string name;
    std::function<void(const std::filesystem::path&)> spoil;
    std::string logged; // what the restarted program says about it
};

std::vector<SpoiledState> spoiledStates() {
    namespace fs = std::filesystem;
    return {
        {"deleted", [](const fs::path& file) { fs::remove(file); },
         "lock error: lock state missing while the guard says locked: .*; the lock is taken back"},
        {"a symbolic link",
         [](const fs::path& file) {
             fs::remove(file);
             fs::create_symlink("/dev/null", file);
         },
         "lock error: lock state damaged \\(the file is a symbolic link\\): .*"},
        {"a FIFO",
         [](const fs::path& file) {
             fs::remove(file);
             ::mkfifo(file.c_str(), 0600);
         },
         "lock error: lock state damaged \\(the file is not a regular file\\): .*"},
        {"oversized", [](const fs::path& file) { std::ofstream(file) << std::string(1 << 20, ' '); },
         "lock error: lock state damaged \\(the file is larger than 4096 bytes\\): .*"},
        {"mode 0666", [](const fs::path& file) { fs::permissions(file, fs::perms(0666)); },
         "lock error: lock state damaged \\(the file is open to others \\(mode 666\\)\\): .*"},
        {"its folder replaced by a file",
         [](const fs::path& file) {
             fs::remove_all(file.parent_path());
             std::ofstream(file.parent_path()) << "{}";
         },
         "lock error: lock state damaged \\(the folder .* is not a folder\\): .*"},
        {"a count of restarts",
         [](const fs::path& file) {
             std::ofstream(file, std::ios::trunc) << R"({"failures":1,"resumeAttempts":3})";
         },
         "lock info: lock resumed after restart failures=1"},
    };
}

} // namespace

// Whatever became of the lock state while locked, the program that dies comes back locked.
TEST_F(LockHolding, ASpoiledLockStateNeverTurnsACrashIntoAnUnlock) {
    for (const auto& spoiled : spoiledStates()) {
        SCOPED_TRACE(spoiled.name);
        lockNow();
        ASSERT_TRUE(std::filesystem::exists(lockStateFile()));
        spoiled.spoil(lockStateFile());
        app->process().signal(SIGKILL);
        ASSERT_TRUE(app->waitFor(spoiled.logged)) << app->transcript();
        ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=\\d+")) << app->transcript();
        ASSERT_TRUE(app->waitFor("lock info: guard: cover handed back to the program, keyboard kept for it"))
            << app->transcript();
        EXPECT_FALSE(app->saw(".*came back without the lock.*")) << app->transcript();
        EXPECT_TRUE(test::waitUntil(covered, 5s) || coveredByTheGuardOrTheProgram());
        unlockWithThePin();
        app.reset();
        std::error_code ignored;
        std::filesystem::remove_all(lockStateFile().parent_path(), ignored);
        std::filesystem::remove(lockStateFile().parent_path(), ignored);
    }
}

// Without $XDG_RUNTIME_DIR the state is kept all the same, and a crash comes back locked.
TEST_F(LockHolding, WithoutARuntimeFolderACrashComesBackLocked) {
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
    lockNow();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    type({"1", "1", "1", "1"});
    ASSERT_TRUE(app->waitFor("auth info: auth rejected via tap failures=1 lockout=0s")) << app->transcript();
    app->process().signal(SIGKILL);
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=1")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: cover handed back to the program, keyboard kept for it"))
        << app->transcript();
    EXPECT_FALSE(app->saw(".*came back without the lock.*")) << app->transcript();
    unlockWithThePin();
}

TEST_F(LockHolding, SignalsThatWouldEndTheProgramAreRefusedWhileLocked) {
    lockNow();
    for (int signal : {SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
        app->seen.clear();
        app->process().signal(signal);
        ASSERT_TRUE(app->waitFor("lock error: terminate request blocked while locked")) << signal;
    }
    EXPECT_TRUE(app->process().isRunning());
    EXPECT_TRUE(covered());
    unlockWithThePin();
}

TEST_F(LockHolding, NoCopyOfThePinStaysInMemoryAfterTheUnlock) {
    const std::string pin = "58316074";
    pins->save(PinHasher::makeRecord(pin));
    lockNow();
    std::vector<std::string> keys;
    for (char digit : pin)
        keys.emplace_back(1, digit);
    type(keys);
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    test::pumpEvents(300ms);
    // Every readable mapping of the program, searched for the PIN as ASCII and as UTF-16.
    const int pid = app->process().pid();
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::ifstream memory("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
    ASSERT_TRUE(maps && memory);
    std::string utf16;
    for (char digit : pin)
        utf16 += std::string{digit, '\0'};
    std::size_t scanned = 0, ascii = 0, wide = 0;
    for (std::string line; std::getline(maps, line);) {
        unsigned long from = 0, to = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, permissions) != 3 || permissions[0] != 'r')
            continue;
        if (line.find("[vvar]") != std::string::npos || to - from > (512ul << 20))
            continue;
        std::string bytes(to - from, '\0');
        memory.clear();
        memory.seekg(static_cast<std::streamoff>(from));
        if (!memory.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
            continue;
        scanned += bytes.size();
        for (auto at = bytes.find(pin); at != std::string::npos; at = bytes.find(pin, at + 1))
            ++ascii;
        for (auto at = bytes.find(utf16); at != std::string::npos; at = bytes.find(utf16, at + 1))
            ++wide;
    }
    EXPECT_GT(scanned, 10u << 20) << "the program's memory was read";
    EXPECT_EQ(ascii, 0u) << "the PIN is in the program's memory as text";
    EXPECT_EQ(wide, 0u) << "the PIN is in the program's memory as UTF-16";
}
